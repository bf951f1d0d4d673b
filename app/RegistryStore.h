// The program's per-user key-value store: texts and 32-bit numbers under the key of
// organisation "Velmar", application "Folimo" (on Windows the registry key
// HKEY_CURRENT_USER\Software\Velmar\Folimo, on Linux ~/.config/Velmar/Folimo.conf).
//
// The object holds no state: every call opens the store, reads or writes one value and
// closes it again, so the store is the only copy and every reader sees the last write,
// in this process or another. Any thread may call; each call is self-contained.
#pragma once

#include <string>

namespace folimo {

// The store's file when it is there but no regular file (a FIFO, a device, a link to
// one), else empty. Such a file is refused: every read gives the default and every
// write fails, so the program starts with the defaults and never replaces the file.
std::wstring RefusedStoreFile();

// The file the image list is kept in between runs: beside the store's file, with the
// extension ".list" (~/.config/Velmar/Folimo.list on Linux).
std::wstring SavedListFile();

class RegistryStore {
public:
    // A subkey names a group below the program's key ("" is the key itself); "\" and
    // "/" both separate its levels.

    // 1 when the text reached the store, 0 when the store cannot be written; a failed
    // write leaves the store, and what this process reads from it, as they were.
    // Texts of any length are kept whole.
    int WriteString(const std::wstring& name, const std::wstring& text,
                    const std::wstring& subkey = {});
    // The stored text, or defaultText when the value is absent or is not a text (a
    // hand-edited list "a, b" is not one). A stored empty text reads as empty.
    std::wstring ReadString(const std::wstring& name, const std::wstring& defaultText,
                            const std::wstring& subkey = {}) const;

    // As WriteString, for a 32-bit signed number.
    int WriteNumber(const std::wstring& name, int value, const std::wstring& subkey = {});
    // The stored number, or defaultValue when the value is absent or no whole number.
    // Numbers up to 4294967295 are taken as the 32-bit pattern they stand for, as the
    // registry's unsigned 32-bit values are, so 4294967295 reads as -1.
    int ReadNumber(const std::wstring& name, int defaultValue,
                   const std::wstring& subkey = {}) const;
};

} // namespace folimo
