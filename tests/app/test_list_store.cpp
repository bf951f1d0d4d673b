// The list kept between runs: what goes into the file comes back, names of any kind
// included; files gone meanwhile come back marked missing; a damaged file gives what it
// still holds; a failed save never harms the kept list.
#include "ImageList.h"
#include "ListStore.h"
#include "TestApplication.h"
#include "TestSupport.h"

#include <folimo/Owned.h>
#include <folimo/WideText.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sys/stat.h>

namespace {

using folimo::ImageListItem;
using folimo::SavedRow;
using folimo::SFileListAdapter;
using Rows = std::vector<SavedRow>;

using folimo::test::application;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class ListStore : public ::testing::Test {
protected:
    std::wstring at(const std::string& name) const { return folimo::fromUtf8(dir.file(name)); }

    folimo::test::TempDir dir;
    folimo::Owned<IFolimo> engine = folimo::createObject<IFolimo>(FOLIMO_ENGINE);
};

TEST_F(ListStore, RowsComeBackInOrderWithTheirTurnsWhateverTheNames) {
    const Rows rows = {
        {L"/pictures/plain.png", 0},
        {L"/pictures/tab\there.jpg", 90},
        {L"/pictures/line\nbreak and\rreturn.png", 180},
        {L"/pictures/back\\slash\\t not a tab\\.tif", 270},
        {L"/图片/扫描 2026-12-08.heic", 90},
        {L" /leading and trailing spaces .png ", 0},
        {L"/pictures/plain.png", 180}, // listed twice, turned differently
    };
    const std::wstring file = at("config/Velmar/Folimo.list");
    ASSERT_TRUE(folimo::SaveList(file, rows)); // the folder is made
    const std::string text = readAll(folimo::toUtf8(file));
    EXPECT_EQ(text.substr(0, text.find('\n')), "folimo list 1");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + long(rows.size()));
    EXPECT_EQ(folimo::LoadList(file), rows);

    SFileListAdapter list(engine.get());
    folimo::RestoreRows(list, folimo::LoadList(file));
    ASSERT_EQ(list.GetCount(), int(rows.size()));
    EXPECT_EQ(folimo::SavedRowsOf(list), rows);
    EXPECT_EQ(list.GetItemData(4)->field(ImageListItem::Name), L"扫描 2026-12-08.heic");

    // An empty list keeps no file.
    ASSERT_TRUE(folimo::SaveList(file, {}));
    EXPECT_FALSE(std::filesystem::exists(folimo::toUtf8(file)));
    EXPECT_TRUE(folimo::LoadList(file).empty());
    EXPECT_TRUE(folimo::SaveList(file, {}));
}

TEST_F(ListStore, AFileGoneSinceStaysListedAsMissingUntilUnreadablesAreRemoved) {
    QCoreApplication& app = application();
    const std::string kept = dir.file("kept.png"), gone = dir.file("gone.png");
    folimo::test::makeImage("-size 30x20 xc:blue", kept);
    folimo::test::makeImage("-size 30x20 xc:green", gone);
    const std::wstring file = at("Folimo.list");
    ASSERT_TRUE(
        folimo::SaveList(file, {{folimo::fromUtf8(gone), 90}, {folimo::fromUtf8(kept), 0}}));
    std::filesystem::remove(gone);

    SFileListAdapter list(engine.get());
    folimo::RestoreRows(list, folimo::LoadList(file));
    ASSERT_EQ(list.GetCount(), 2);
    QObject owner;
    int told = 0;
    list.StartInfoThread(&owner, [&](const folimo::ImageListItemPtr&) { ++told; });
    QElapsedTimer clock;
    clock.start();
    while (told < 2 && clock.elapsed() < 20000)
        app.processEvents(QEventLoop::AllEvents, 50);
    ASSERT_EQ(told, 2);
    const auto missing = list.GetItemData(0);
    EXPECT_TRUE(missing->isMissing());
    EXPECT_TRUE(missing->isError());
    EXPECT_EQ(missing->clockwiseDegrees(), 90);
    EXPECT_FALSE(list.GetItemData(1)->isError());
    list.RemoveErrorItems();
    ASSERT_EQ(list.GetCount(), 1);
    EXPECT_EQ(list.GetItemPath(0), folimo::fromUtf8(kept));
}

TEST_F(ListStore, ADamagedFileGivesTheRowsItStillHolds) {
    const struct {
        const char* what;
        std::string text;
        Rows rows;
    } cases[] = {
        {"empty", "", {}},
        {"header only", "folimo list 1\n", {}},
        {"no header", "90\t/a.png\n", {{L"/a.png", 90}}},
        {"cut in the last path", "folimo list 1\n0\t/a.png\n90\t/b.pn", {{L"/a.png", 0}}},
        {"cut in the header", "folimo li", {}},
        {"turn not a quarter",
         "45\t/a.png\n360\t/b.png\n-90\t/c.png\n0\t/d.png\n",
         {{L"/d.png", 0}}},
        {"no turn", "\t/a.png\n/b.png\n0\t/c.png\n", {{L"/c.png", 0}}},
        {"empty path", "0\t\n180\t/e.png\n", {{L"/e.png", 180}}},
        {"Windows line ends", "0\t/a.png\r\n", {{L"/a.png\r", 0}}},
        {"a lone backslash at the end", "0\t/a\\\n", {{L"/a\\", 0}}},
        {"an escape not ours", "0\t/a\\q.png\n", {{L"/a\\q.png", 0}}},
        {"a NUL byte", std::string("0\t/a\0b.png\n0\t/c.png\n", 21), {{L"/c.png", 0}}},
        {"a later version's header", "folimo list 2\n0\t/a.png\n", {{L"/a.png", 0}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(folimo::ParseList(c.text), c.rows) << c.what;

    // Random bytes never crash the reader, and what it answers has only quarter turns.
    std::mt19937 random(29);
    for (int round = 0; round < 200; ++round) {
        std::string noise(std::size_t(random() % 2000), '\0');
        for (char& c : noise)
            c = "0\t\n\\9/a\xff\xe5"[random() % 10];
        for (const SavedRow& row : folimo::ParseList(noise)) {
            EXPECT_EQ(row.clockwiseDegrees % 90, 0);
            EXPECT_FALSE(row.path.empty());
        }
    }
}

TEST_F(ListStore, WhatIsNoRegularFileIsNeitherReadNorReplaced) {
    // A FIFO in the list's place would make a plain open wait for a writer for ever.
    const std::string fifo = dir.file("fifo.list");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_TRUE(folimo::LoadList(folimo::fromUtf8(fifo)).empty());
    EXPECT_FALSE(folimo::SaveList(folimo::fromUtf8(fifo), {{L"/a.png", 0}}));
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));

    const std::string folder = dir.file("folder.list");
    std::filesystem::create_directory(folder);
    EXPECT_TRUE(folimo::LoadList(folimo::fromUtf8(folder)).empty());
    EXPECT_FALSE(folimo::SaveList(folimo::fromUtf8(folder), {{L"/a.png", 0}}));
    EXPECT_FALSE(folimo::SaveList(folimo::fromUtf8(folder), {}));
    EXPECT_TRUE(std::filesystem::is_directory(folder));

    // A folder that cannot be made (a file stands in its way) fails the save and
    // leaves nothing behind.
    folimo::test::writeFile(dir.file("blocker"), "x");
    EXPECT_FALSE(folimo::SaveList(at("blocker/Folimo.list"), {{L"/a.png", 0}}));
    EXPECT_EQ(readAll(dir.file("blocker")), "x");
}

} // namespace
