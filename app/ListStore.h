// The image list kept between runs: its paths in order, each with its turn, in a small
// UTF-8 text file beside the settings. The file is replaced whole or not at all, and a
// damaged one gives back every row it still holds.
//
// The format: a first line "folimo list 1", then a line per row, the turn in degrees
// (0, 90, 180 or 270), a tab and the path. In the path a backslash, tab, line feed and
// carriage return are written "\\", "\t", "\n" and "\r", so that any name a file
// system allows stands on one line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace folimo {

class SFileListAdapter;

struct SavedRow {
    std::wstring path;
    int clockwiseDegrees = 0;
    bool operator==(const SavedRow&) const = default;
};

// The file's text for `rows`, and the rows of a text: lines that are not rows (a turn
// that is not a quarter turn, no tab, an empty path, a last line cut short) are left
// out, the others kept in order.
std::string FormatList(const std::vector<SavedRow>& rows);
std::vector<SavedRow> ParseList(std::string_view text);

// Writes `rows` to `file` through a temporary file renamed over it, creating the folder;
// no rows remove the file. False when the file could not be written (the old one then
// stays as it was) or when `file` is there but is not a regular file.
bool SaveList(const std::wstring& file, const std::vector<SavedRow>& rows);
// The rows kept in `file`; none when it is absent, unreadable or not a regular file
// (a FIFO is never waited on).
std::vector<SavedRow> LoadList(const std::wstring& file);

// The list's rows as they would be kept.
std::vector<SavedRow> SavedRowsOf(const SFileListAdapter& list);
// Appends the rows to the list with their turns, files that are gone included (their
// information then marks them missing), duplicates as they were. Tells no observer.
void RestoreRows(SFileListAdapter& list, const std::vector<SavedRow>& rows);

} // namespace folimo
