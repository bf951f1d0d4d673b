// The image list's model: filling from files and folders, sorting, moving, selecting,
// removing, and the information thread, without any window.
#include "ImageList.h"
#include "ListHistory.h"
#include "TestApplication.h"
#include "TestSupport.h"

#include <folimo/Owned.h>
#include <folimo/WideText.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>

namespace {

using folimo::ImageListItem;
using folimo::SFileListAdapter;
using folimo::test::TempDir;

using folimo::test::application;

class ImageList : public ::testing::Test {
protected:
    ImageList() : engine(folimo::createObject<IFolimo>(FOLIMO_ENGINE)), list(engine.get()) {}

    std::wstring file(const std::string& name, const std::string& bytes = "x") {
        const std::string path = dir.file(name);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        folimo::test::writeFile(path, bytes);
        return folimo::fromUtf8(path);
    }
    // The rows by name, in order.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (int row = 0; row < list.GetCount(); ++row)
            out.push_back(folimo::toUtf8(list.GetItemData(row)->field(ImageListItem::Name)));
        return out;
    }
    void addNamed(const std::vector<std::string>& rows) {
        for (const auto& name : rows)
            list.AddItem(file(name));
    }

    TempDir dir;
    folimo::Owned<IFolimo> engine;
    SFileListAdapter list;
};

using Rows = std::vector<std::string>;

TEST_F(ImageList, FilesAreAddedWithNameTimesAndDuplicates) {
    const std::wstring photo = file("photo 1.jpg");
    EXPECT_TRUE(list.AddImageFile(photo));
    EXPECT_TRUE(list.AddImageFile(photo)); // listed twice, as n and n + 1
    EXPECT_FALSE(list.AddImageFile(file("notes.txt")));
    ASSERT_EQ(list.GetCount(), 2);
    const auto item = list.GetItemData(1);
    EXPECT_EQ(item->field(ImageListItem::Name), L"photo 1.jpg");
    EXPECT_EQ(item->field(ImageListItem::Path), photo);
    EXPECT_EQ(item->field(ImageListItem::Modified).size(), 19u); // 2026/12/08 09:30:00
    EXPECT_EQ(item->field(ImageListItem::Status), L"");
    EXPECT_EQ(folimo::formatFileTime(0), L"");
    EXPECT_EQ(list.GetItemData(2), nullptr);
    EXPECT_EQ(list.GetItemPath(-1), L"");
    EXPECT_EQ(SFileListAdapter::GetColumnName(0), L"col1");
    EXPECT_EQ(SFileListAdapter::GetColumnName(6), L"col7");
}

TEST_F(ImageList, FoldersGiveTheirFilesInNameOrderWhereTheyAreMet) {
    for (const char* name : {"top/img10.png", "top/sub/b.jpg", "top/sub/deeper/c.gif",
                             "top/img9.tif", "top/e.txt", "top/sub2/f.pdf", "top/Sub1/g.png"})
        file(name);
    const std::wstring top = folimo::fromUtf8(dir.file("top"));
    // A link back to the top must not make the walk endless.
    std::filesystem::create_directory_symlink(dir.file("top"), dir.file("top/sub/loop"));

    list.AddImageFolder(top, false);
    EXPECT_EQ(names(), (Rows{"img9.tif", "img10.png"}));

    // Each folder in name order as people read it, a subfolder's files standing where
    // the subfolder does.
    list.RemoveAllItems();
    list.AddImageFolder(top, true);
    EXPECT_EQ(names(), (Rows{"img9.tif", "img10.png", "b.jpg", "c.gif", "g.png", "f.pdf"}));

    list.RemoveAllItems();
    list.AddDroppedFiles({top + L"/sub/deeper", top + L"/a.png", top + L"/e.txt"});
    EXPECT_EQ(names(), (Rows{"c.gif", "a.png"}));
}

TEST_F(ImageList, SortingByColumnsAsPeopleReadNames) {
    addNamed({"img10.png", "IMG9.png", "img1.png", "b.png"});
    int flags[7] = {};
    EXPECT_FALSE(list.OnSort(0, flags, 7)); // the number column
    EXPECT_EQ(names(), (Rows{"img10.png", "IMG9.png", "img1.png", "b.png"}));
    list.SelectOnly(1); // IMG9 stays selected wherever it goes

    const struct {
        int state;
        Rows order;
    } clicks[] = {
        {1, {"img10.png", "IMG9.png", "img1.png", "b.png"}},
        {2, {"b.png", "img1.png", "IMG9.png", "img10.png"}},
        {1, {"img10.png", "IMG9.png", "img1.png", "b.png"}},
    };
    for (const auto& click : clicks) {
        flags[3] = 1; // another column's state is cleared
        ASSERT_TRUE(list.OnSort(1, flags, 7));
        EXPECT_EQ(flags[1], click.state);
        EXPECT_EQ(flags[3], 0);
        EXPECT_EQ(names(), click.order);
        ASSERT_EQ(list.GetSelection().size(), 1u);
        EXPECT_EQ(names()[std::size_t(list.GetSelection()[0])], "IMG9.png");
    }
}

TEST_F(ImageList, MovingSelectedRowsAsOneBlock) {
    const struct {
        const char* what;
        bool keepOrder;
        std::vector<int> selection;
        int target;
        Rows order;
        std::vector<int> selected;
    } cases[] = {
        {"3 and 4 to 1", true, {3, 4}, 1, {"0", "3", "4", "1", "2", "5"}, {1, 2}},
        {"keep order", true, {5, 2}, 0, {"2", "5", "0", "1", "3", "4"}, {0, 1}},
        {"selection order", false, {5, 2}, 0, {"5", "2", "0", "1", "3", "4"}, {0, 1}},
        {"to the end", true, {0, 2}, 6, {"1", "3", "4", "5", "0", "2"}, {4, 5}},
        {"twice and out of range", false, {1, 1, 9, -1}, 4, {"0", "2", "3", "1", "4", "5"}, {3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        list.RemoveAllItems();
        addNamed({"0", "1", "2", "3", "4", "5"});
        list.SetKeepOrder(c.keepOrder);
        ASSERT_TRUE(list.MoveItemsTo(c.target, c.selection));
        EXPECT_EQ(names(), c.order);
        EXPECT_EQ(list.GetSelection(), c.selected);
    }
}

TEST_F(ImageList, SelectionByClicksRangesAndBands) {
    addNamed({"0", "1", "2", "3", "4", "5"});
    list.SelectRangeToItem(3); // nothing selected: nothing
    EXPECT_TRUE(list.GetSelection().empty());
    list.ToggleItemSelected(4);
    list.ToggleItemSelected(1);
    list.SelectRangeToItem(3); // from the last one selected
    EXPECT_EQ(list.GetSelection(), (std::vector<int>{1, 2, 3}));
    list.ToggleItemSelected(2);
    EXPECT_FALSE(list.IsItemSelected(2));

    list.BeginRangeSelection(4);
    list.ExtendRangeSelection(1);
    EXPECT_EQ(list.GetSelection(), (std::vector<int>{4, 3, 2, 1}));
    list.ExtendRangeSelection(-1); // off the rows: kept
    EXPECT_EQ(list.GetSelection().size(), 4u);

    // A band begun below the last row reaches the rows from the last one.
    list.BeginRangeSelection(-1);
    EXPECT_FALSE(list.IsItemSelected(-1));
    list.ExtendRangeSelection(5);
    EXPECT_EQ(list.GetSelection(), (std::vector<int>{5}));
    list.ExtendRangeSelection(3);
    EXPECT_EQ(list.GetSelection(), (std::vector<int>{5, 4, 3}));

    list.SelectOnly(2);
    list.MoveSelectionTo(2); // onto itself: nothing
    list.MoveSelectionTo(-1);
    EXPECT_EQ(names(), (Rows{"0", "1", "2", "3", "4", "5"}));
    list.MoveSelectionTo(0);
    EXPECT_EQ(names(), (Rows{"2", "0", "1", "3", "4", "5"}));
    list.SelectOnly(-1);
    EXPECT_TRUE(list.GetSelection().empty());
}

TEST_F(ImageList, RemovingRowsKeepsTheSelectionOnItsItems) {
    addNamed({"0", "1", "2", "3", "4"});
    list.RemoveItem(5);
    list.RemoveItem(-1);
    EXPECT_EQ(list.GetCount(), 5);
    list.SelectOnly(3);
    list.RemoveItem(1);
    EXPECT_EQ(list.GetSelection(), (std::vector<int>{2}));
    EXPECT_EQ(names()[2], "3");
    list.ToggleItemSelected(0);
    list.RemoveSelectedItems();
    EXPECT_EQ(names(), (Rows{"2", "4"}));
    EXPECT_TRUE(list.GetSelection().empty());

    list.GetItemData(0)->setField(ImageListItem::Status, L"ERROR");
    list.SelectOnly(1);
    list.RemoveErrorItems();
    EXPECT_EQ(names(), (Rows{"4"}));
    EXPECT_TRUE(list.GetSelection().empty());
}

// Turns go round in quarters either way, on the selected rows only, and stay with their
// items when the rows move.
TEST_F(ImageList, TurnsGoRoundWithTheSelectedItems) {
    addNamed({"0", "1", "2"});
    const auto degrees = [this] {
        std::vector<int> out;
        for (int row = 0; row < list.GetCount(); ++row)
            out.push_back(list.GetItemData(row)->clockwiseDegrees());
        return out;
    };
    EXPECT_FALSE(list.TurnSelectedItems(1));
    list.SelectOnly(0);
    list.ToggleItemSelected(2);
    for (int quarter : {-1, -1, -1, -1, -1})
        EXPECT_TRUE(list.TurnSelectedItems(quarter));
    EXPECT_EQ(degrees(), (std::vector<int>{270, 0, 270}));
    list.SelectOnly(2);
    list.TurnSelectedItems(6);
    list.MoveSelectionTo(0);
    EXPECT_EQ(names(), (Rows{"2", "0", "1"}));
    EXPECT_EQ(degrees(), (std::vector<int>{90, 270, 0}));
}

// Deleting answers where the item after the last removed row went, so the window can
// select it: rows 2 and 4 of six leave the former row 5 at row 3.
TEST_F(ImageList, RemovingTheSelectionAnswersTheFollowingItemsRow) {
    const struct {
        std::vector<int> selected;
        int follower;
        Rows left;
    } cases[] = {
        {{4, 2}, 3, {"0", "1", "3", "5"}},
        {{0}, 0, {"1", "2", "3", "4", "5"}},
        {{5, 1}, -1, {"0", "2", "3", "4"}},
        {{}, -1, {"0", "1", "2", "3", "4", "5"}},
    };
    for (const auto& c : cases) {
        list.RemoveAllItems();
        addNamed({"0", "1", "2", "3", "4", "5"});
        list.ClearSelection();
        for (int row : c.selected)
            list.ToggleItemSelected(row);
        EXPECT_EQ(list.RemoveSelectedItems(), c.follower);
        EXPECT_EQ(names(), c.left);
        EXPECT_TRUE(list.GetSelection().empty());
    }
}

// The information thread fills each item and tells the owner on the owner's thread,
// in order; PDF files get nothing, broken images "error".
// Every kind of edit is one step back and forth, whatever made it; a folder tree added
// folder by folder inside a Step is one step; a new edit after an undo drops the redo.
// An undo selects the rows it brings back or turns, and otherwise keeps the selection.
TEST_F(ImageList, EditsUndoAndRedoAsOneStepEach) {
    addNamed({"b", "a", "c"});
    folimo::ListHistory history(list);
    const auto shown = [this] {
        std::string out;
        for (const folimo::ListRow& row : list.GetRows())
            out += folimo::toUtf8(row.item->field(ImageListItem::Name)) +
                   (row.clockwiseDegrees ? "@" + std::to_string(row.clockwiseDegrees) : "") + " ";
        return out;
    };
    const auto selected = [this] {
        std::string out;
        for (int row = 0; row < list.GetCount(); ++row)
            if (list.IsItemSelected(row))
                out += folimo::toUtf8(list.GetItemData(row)->field(ImageListItem::Name)) + " ";
        return out;
    };
    int flags[8] = {};
    const struct {
        const char* edit;
        std::function<void()> make;
        std::string after;
        std::string selectedAfterUndo;
    } edits[] = {
        {"add", [&] { list.AddImageFile(file("d.png")); }, "b a c d.png ", "a "},
        {"sort", [&] { list.OnSort(1, flags, 8), list.OnSort(1, flags, 8); }, "a b c d.png ", "a "},
        {"move", [&] { list.MoveItemsTo(0, {2}); }, "c a b d.png ", "a "},
        {"turn", [&] { list.SelectOnly(1), list.TurnSelectedItems(-1); }, "c a@270 b d.png ", "a "},
        {"remove", [&] { list.SelectOnly(0), list.RemoveSelectedItems(); }, "a@270 b d.png ", "c "},
        {"folder tree",
         [&] {
             file("tree/x.png"), file("tree/sub/y.png");
             folimo::ListHistory::Step step(history);
             list.AddImageFolder(folimo::fromUtf8(dir.file("tree")), true);
         },
         "a@270 b d.png y.png x.png ", "a b d.png "},
        {"clear", [&] { list.RemoveAllItems(); }, "", "a b d.png y.png x.png "},
    };
    std::vector<std::string> states{shown()};
    for (const auto& edit : edits) {
        SCOPED_TRACE(edit.edit);
        edit.make();
        list.NotifyChanged();
        list.NotifyChanged(); // telling twice makes no second step
        EXPECT_EQ(shown(), edit.after);
        states.push_back(edit.after);
    }
    EXPECT_EQ(history.Stack().count(), int(std::size(edits)));
    for (std::size_t i = states.size() - 1; i > 0; --i) {
        history.Stack().undo();
        EXPECT_EQ(shown(), states[i - 1]) << "undo of " << edits[i - 1].edit;
        EXPECT_EQ(selected(), edits[i - 1].selectedAfterUndo) << "undo of " << edits[i - 1].edit;
    }
    EXPECT_FALSE(history.Stack().canUndo());
    for (std::size_t i = 1; i < states.size(); ++i) {
        history.Stack().redo();
        EXPECT_EQ(shown(), states[i]) << "redo of " << edits[i - 1].edit;
    }
    history.Stack().undo();
    history.Stack().undo();
    list.RemoveItem(0);
    list.NotifyChanged();
    EXPECT_FALSE(history.Stack().canRedo());
    EXPECT_EQ(shown(), "b d.png ");
}

// A path already listed (earlier, or earlier in the same batch) is added again, left
// out, or asked about once per list, whatever way it comes in.
TEST_F(ImageList, FilesAlreadyListedFollowThePolicyAndAreAskedAboutOnce) {
    using folimo::DuplicatePolicy;
    const std::wstring a = file("f/a.png"), b = file("f/b.png"), c = file("g/c.png");
    const std::wstring folder = folimo::fromUtf8(dir.file("f"));
    using Add = std::function<void(SFileListAdapter&)>;
    const auto files = [](std::vector<std::wstring> paths) -> Add {
        return [paths](SFileListAdapter& l) {
            for (const auto& path : paths)
                l.AddImageFile(path);
        };
    };
    const Add inFolder = [folder](SFileListAdapter& l) { l.AddImageFolder(folder, false); };
    const Add dropped = [folder, c](SFileListAdapter& l) { l.AddDroppedFiles({folder, c}); };
    const struct {
        const char* what;
        DuplicatePolicy policy;
        bool answer;
        std::vector<Add> adds;
        Rows rows;
        int asked;
    } cases[] = {
        {"add",
         DuplicatePolicy::Add,
         false,
         {files({a, a}), inFolder},
         {"a.png", "a.png", "a.png", "b.png"},
         0},
        {"skip",
         DuplicatePolicy::Skip,
         false,
         {files({a, a}), inFolder, dropped},
         {"a.png", "b.png", "c.png"},
         0},
        {"ask, no duplicate",
         DuplicatePolicy::Ask,
         false,
         {files({a}), files({b, c})},
         {"a.png", "b.png", "c.png"},
         0},
        {"ask in one batch, no",
         DuplicatePolicy::Ask,
         false,
         {files({a, b, a, c, b})},
         {"a.png", "b.png", "c.png"},
         1},
        {"ask, no, for good",
         DuplicatePolicy::Ask,
         false,
         {files({a}), inFolder, dropped, files({c, a})},
         {"a.png", "b.png", "c.png"},
         1},
        {"ask, yes, for good",
         DuplicatePolicy::Ask,
         true,
         {files({a}), inFolder, files({a})},
         {"a.png", "a.png", "b.png", "a.png"},
         1},
    };
    for (const auto& c : cases) {
        SFileListAdapter l(engine.get());
        int asked = 0;
        l.SetDuplicatePolicy(c.policy, [&asked, &c] {
            ++asked;
            return c.answer;
        });
        for (const Add& add : c.adds)
            add(l);
        Rows got;
        for (int row = 0; row < l.GetCount(); ++row)
            got.push_back(folimo::toUtf8(l.GetItemData(row)->field(ImageListItem::Name)));
        EXPECT_EQ(got, c.rows) << c.what;
        EXPECT_EQ(asked, c.asked) << c.what;
    }

    // A row that left the list (removed, cleared, undone) no longer counts.
    list.SetDuplicatePolicy(DuplicatePolicy::Skip);
    list.AddImageFile(a);
    list.AddImageFile(b);
    list.RemoveItem(0);
    EXPECT_TRUE(list.AddImageFile(a));
    list.SelectOnly(0);
    list.RemoveSelectedItems();
    EXPECT_FALSE(list.Contains(b));
    list.RemoveAllItems();
    EXPECT_TRUE(list.AddImageFile(a));
    const auto before = list.GetRows();
    list.AddImageFile(b);
    list.SetRows(before);
    EXPECT_TRUE(list.AddImageFile(b));
    list.AddItem(b); // a restored list keeps its duplicates
    EXPECT_EQ(list.GetCount(), 3);
}

// Ten thousand rows, then the same ten thousand and ten thousand more: each path is
// looked up once, not against every row.
TEST_F(ImageList, DuplicatesAreFoundQuicklyInALongList) {
    std::vector<std::wstring> paths;
    for (int i = 0; i < 20000; ++i)
        paths.push_back(folimo::fromUtf8(dir.file("many/photo " + std::to_string(i) + ".jpg")));
    for (int i = 0; i < 10000; ++i)
        list.AddItem(paths[std::size_t(i)]);
    int asked = 0;
    list.SetDuplicatePolicy(folimo::DuplicatePolicy::Ask, [&] { return ++asked, false; });
    QElapsedTimer clock;
    clock.start();
    for (const auto& path : paths)
        list.AddImageFile(path);
    const qint64 elapsed = clock.elapsed();
    EXPECT_EQ(list.GetCount(), 20000);
    EXPECT_EQ(asked, 1);
    EXPECT_LT(elapsed, 3000);
}

TEST_F(ImageList, InformationArrivesOnTheOwnersThread) {
    QCoreApplication& app = application();
    const std::string good = dir.file("good.png");
    folimo::test::makeImage("-size 40x30 xc:red -units PixelsPerInch -density 150", good);
    list.AddImageFile(folimo::fromUtf8(good));
    list.AddImageFile(file("broken.png", "\x89PNG\r\n\x1a\n not really"));
    list.AddImageFile(file("doc.pdf", "%PDF-1.4"));
    list.AddImageFile(folimo::fromUtf8(good));

    QObject owner;
    std::vector<std::wstring> told;
    bool onOwnersThread = true;
    list.StartInfoThread(&owner, [&](const folimo::ImageListItemPtr& item) {
        onOwnersThread = onOwnersThread && QThread::currentThread() == app.thread();
        told.push_back(item->field(ImageListItem::Name));
    });
    QElapsedTimer clock;
    clock.start();
    while (told.size() < 4 && clock.elapsed() < 20000)
        app.processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(told,
              (std::vector<std::wstring>{L"good.png", L"broken.png", L"doc.pdf", L"good.png"}));
    EXPECT_TRUE(onOwnersThread);
    const auto row = [&](int r, ImageListItem::Field f) { return list.GetItemData(r)->field(f); };
    EXPECT_EQ(row(0, ImageListItem::PixelSize), L"40 \u00D7 30");
    EXPECT_EQ(row(0, ImageListItem::Resolution), L"150");
    EXPECT_EQ(row(0, ImageListItem::Status), L"ok");
    EXPECT_TRUE(list.GetItemData(1)->isError());
    EXPECT_EQ(row(2, ImageListItem::Status), L"");
    EXPECT_EQ(list.PendingInfo(), 0u);
    // The unreadable row is left out of the total; the PDF that does not open leaves it
    // a floor.
    EXPECT_EQ(row(0, ImageListItem::Pages), L"1");
    EXPECT_EQ(row(2, ImageListItem::Pages), L"");
    EXPECT_EQ(list.TotalPages().pages, 2);
    EXPECT_EQ(list.TotalPages().unknownRows, 1);
}

// An owner that never takes its calls (the program is closing) must not hang the
// list's end, nor may a call that runs after the list is gone touch it.
TEST_F(ImageList, EndingWithItemsStillQueuedNeitherHangsNorCrashes) {
    QCoreApplication& app = application();
    QObject owner;
    int told = 0;
    {
        SFileListAdapter doomed(engine.get());
        for (int i = 0; i < 200; ++i)
            doomed.AddItem(file("f" + std::to_string(i) + ".png"));
        doomed.StartInfoThread(&owner, [&](const folimo::ImageListItemPtr&) { ++told; });
        QThread::msleep(20);
    }
    app.processEvents(); // a call left waiting runs after the list has gone
    EXPECT_LE(told, 1);
}

} // namespace
