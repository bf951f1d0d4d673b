// What the scan window remembers, without a window: per device choices that do not mix,
// device names the store would read as levels, defaults for an empty store and for
// values a hand edit put out of range.
#include "RegistryStore.h"
#include "ScanSettings.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QSettings>

#include <set>

namespace {

using namespace folimo;
using namespace folimo::test;

class ScanSettings : public ::testing::Test {
protected:
    void SetUp() override {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(dir.file("config")));
    }
    TempDir dir;
};

void expectSame(const scan::Choices& a, const scan::Choices& b) {
    EXPECT_EQ(a.source, b.source);
    EXPECT_EQ(a.colour, b.colour);
    EXPECT_EQ(a.resolution, b.resolution);
    EXPECT_DOUBLE_EQ(a.widthMm, b.widthMm);
    EXPECT_DOUBLE_EQ(a.heightMm, b.heightMm);
    EXPECT_EQ(a.skipBlank, b.skipBlank);
    EXPECT_EQ(a.blankInkPermille, b.blankInkPermille);
}

TEST_F(ScanSettings, AnEmptyStoreGivesTheDefaults) {
    expectSame(GetScanChoices("test:0"), scan::Choices{});
    EXPECT_EQ(GetLastScanDevice(), "");
    EXPECT_EQ(GetScanFolder(), scan::DefaultScanFolder());
}

TEST_F(ScanSettings, EachDeviceKeepsItsOwnChoices) {
    scan::Choices feeder;
    feeder.source = scan::Source::Duplex;
    feeder.colour = scan::Colour::BlackAndWhite;
    feeder.resolution = 200;
    feeder.widthMm = 215.9; // Letter: tenths of a millimetre survive
    feeder.heightMm = 279.4;
    feeder.skipBlank = true;
    feeder.blankInkPermille = 12;
    feeder.deviceOptions = {{"read-return-value", "SANE_STATUS_JAMMED"}};
    scan::Choices flatbed;
    flatbed.colour = scan::Colour::Grey;
    flatbed.resolution = 600;

    // Names that hold the store's level separators, and names that differ only there.
    const char* devices[] = {"net:host:/dev/usb/1", "net:host:_dev_usb_1", "test:0"};
    ASSERT_EQ(SetScanChoices(devices[0], feeder), 1);
    ASSERT_EQ(SetScanChoices(devices[2], flatbed), 1);
    scan::Choices read = GetScanChoices(devices[0]);
    expectSame(read, feeder);
    EXPECT_TRUE(read.deviceOptions.empty()); // one run's options are not kept
    expectSame(GetScanChoices(devices[1]), scan::Choices{});
    expectSame(GetScanChoices(devices[2]), flatbed);

    std::set<std::wstring> groups;
    for (const char* device : devices) {
        const std::wstring group = ScanDeviceGroup(device);
        EXPECT_EQ(group.find_first_of(L":\\", 0), std::wstring::npos);
        EXPECT_EQ(group.rfind(L'/'), std::wstring(L"Scan").size());
        groups.insert(group);
    }
    EXPECT_EQ(groups.size(), std::size(devices));

    ASSERT_EQ(SetLastScanDevice(devices[0]), 1);
    ASSERT_EQ(SetScanFolder("/tmp/scans here"), 1);
    EXPECT_EQ(GetLastScanDevice(), devices[0]);
    EXPECT_EQ(GetScanFolder(), "/tmp/scans here");
}

TEST_F(ScanSettings, ValuesOutOfRangeLoadAsDefaults) {
    const std::wstring group = ScanDeviceGroup("test:1");
    RegistryStore store;
    const struct {
        const wchar_t* name;
        int value;
    } edits[] = {
        {L"Source", 7},
        {L"Colour", -1},
        {L"Resolution", 0},
        {L"WidthTenthsMm", -5},
        {L"BlankInkPermille", 1001},
    };
    for (const auto& edit : edits)
        ASSERT_EQ(store.WriteNumber(edit.name, edit.value, group), 1);
    expectSame(GetScanChoices("test:1"), scan::Choices{});
}

} // namespace
