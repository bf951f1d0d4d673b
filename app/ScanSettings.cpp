#include "ScanSettings.h"

#include "RegistryStore.h"

#include <QString>

#include <algorithm>
#include <cmath>

namespace folimo {
namespace {

constexpr const wchar_t* kScanGroup = L"Scan";

std::wstring wide(const std::string& utf8) {
    return QString::fromStdString(utf8).toStdWString();
}

std::string narrow(const std::wstring& text) {
    return QString::fromStdWString(text).toStdString();
}

// A stored number in [least, most], else `fallback`: a hand edit or an older program
// must not hand the device a choice it refuses.
int bounded(const RegistryStore& store, const wchar_t* name, int fallback, int least, int most,
            const std::wstring& group) {
    const int value = store.ReadNumber(name, fallback, group);
    return value < least || value > most ? fallback : value;
}

// Sizes are stored in tenths of a millimetre: Letter's 215.9 mm survives the round trip.
int tenths(double mm) {
    return static_cast<int>(std::lround(mm * 10));
}

} // namespace

std::wstring ScanDeviceGroup(const std::string& device) {
    static const char hex[] = "0123456789ABCDEF";
    std::wstring group = std::wstring(kScanGroup) + L"/Device_";
    for (const unsigned char c : device) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.') {
            group += static_cast<wchar_t>(c);
        } else {
            group += L'_';
            group += static_cast<wchar_t>(hex[c >> 4]);
            group += static_cast<wchar_t>(hex[c & 15]);
        }
    }
    return group;
}

scan::Choices GetScanChoices(const std::string& device) {
    const RegistryStore store;
    const std::wstring group = ScanDeviceGroup(device);
    scan::Choices c;
    c.source = static_cast<scan::Source>(bounded(store, L"Source", static_cast<int>(c.source), 0,
                                                 static_cast<int>(scan::Source::Duplex), group));
    c.colour =
        static_cast<scan::Colour>(bounded(store, L"Colour", static_cast<int>(c.colour), 0,
                                          static_cast<int>(scan::Colour::BlackAndWhite), group));
    c.resolution = bounded(store, L"Resolution", c.resolution, 1, 19200, group);
    // A size of 10 m would be no paper; none stored is the whole area.
    c.widthMm = bounded(store, L"WidthTenthsMm", 0, 0, 100000, group) / 10.0;
    c.heightMm = bounded(store, L"HeightTenthsMm", 0, 0, 100000, group) / 10.0;
    c.skipBlank = store.ReadNumber(L"SkipBlank", c.skipBlank ? 1 : 0, group) != 0;
    c.blankInkPermille = bounded(store, L"BlankInkPermille", c.blankInkPermille, 0, 1000, group);
    return c;
}

int SetScanChoices(const std::string& device, const scan::Choices& c) {
    RegistryStore store;
    const std::wstring group = ScanDeviceGroup(device);
    const struct {
        const wchar_t* name;
        int value;
    } values[] = {
        {L"Source", static_cast<int>(c.source)},
        {L"Colour", static_cast<int>(c.colour)},
        {L"Resolution", c.resolution},
        {L"WidthTenthsMm", tenths(c.widthMm)},
        {L"HeightTenthsMm", tenths(c.heightMm)},
        {L"SkipBlank", c.skipBlank ? 1 : 0},
        {L"BlankInkPermille", c.blankInkPermille},
    };
    int written = 1;
    for (const auto& value : values)
        written &= store.WriteNumber(value.name, value.value, group);
    return written;
}

std::string GetLastScanDevice() {
    return narrow(RegistryStore().ReadString(L"LastDevice", L"", kScanGroup));
}

int SetLastScanDevice(const std::string& device) {
    return RegistryStore().WriteString(L"LastDevice", wide(device), kScanGroup);
}

std::string GetScanFolder() {
    const std::string stored = narrow(RegistryStore().ReadString(L"Folder", L"", kScanGroup));
    return stored.empty() ? scan::DefaultScanFolder() : stored;
}

int SetScanFolder(const std::string& folder) {
    return RegistryStore().WriteString(L"Folder", wide(folder), kScanGroup);
}

} // namespace folimo
