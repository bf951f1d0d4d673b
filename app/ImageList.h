// The image list: the ordered input files of a conversion, with what the user sees of
// each (name, path, resolution, pixel size, times, pages, status), a selection for the list
// view, sorting, moving and removing. The pixel size and resolution are read on a
// thread of the list's own, so that adding a thousand photographs never stalls the
// windows; everything else runs on the thread that owns the list.
#pragma once

#include <folimo/Folimo.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class QObject;

namespace folimo {

// One file of the list, shared by the list and the information queue. Its texts are
// read and written under its own lock, so a row being drawn never sees a torn string
// while the information thread fills it in.
class ImageListItem {
public:
    enum Field { Name, Path, Resolution, PixelSize, Created, Modified, Pages, Status, FieldCount };

    // Name, path and the two times from the file system; the rest comes later.
    static std::shared_ptr<ImageListItem> create(const std::wstring& path);

    std::wstring field(Field f) const;
    void setField(Field f, std::wstring text);
    bool isError() const;   // status "error" or "missing", in any case
    bool isMissing() const; // status "missing": the file is not there (any more)

    // How far the person turned the picture, clockwise, in degrees: 0, 90, 180 or 270.
    int clockwiseDegrees() const;
    // By quarter turns, negative for anticlockwise.
    void turn(int quarterTurns);
    void setClockwiseDegrees(int degrees);

private:
    mutable std::mutex mutex_;
    std::wstring fields_[FieldCount];
    int quarterTurns_ = 0; // clockwise, 0 to 3
};

using ImageListItemPtr = std::shared_ptr<ImageListItem>;

// A row as the list holds it: which file, turned how. Rows compare equal when they hold
// the same item turned the same way.
struct ListRow {
    ImageListItemPtr item;
    int clockwiseDegrees = 0;
    bool operator==(const ListRow& other) const {
        return item == other.item && clockwiseDegrees == other.clockwiseDegrees;
    }
};

// "2026/12/08 09:30:00" in local time; empty for a time of 0.
std::wstring formatFileTime(std::int64_t secondsSinceEpoch);

// Whoever shows the list: told when rows came or went (re-read everything), when only
// their looks changed (repaint), or when one row's data changed.
struct IImageListObserver {
    virtual void OnListChanged() = 0;
    virtual void OnListInvalidated() = 0;
    virtual void OnListItemChanged(int row) = 0;

protected:
    ~IImageListObserver() = default;
};

// What an add does with a file the list already holds (added earlier, or earlier in
// the same batch).
enum class DuplicatePolicy {
    Add,  // adds it again
    Skip, // leaves it out
    Ask,  // asks the list's question once, then keeps to the answer for good
};

class SFileListAdapter {
public:
    // `engine` judges which files are supported; it must outlive the list.
    explicit SFileListAdapter(IFolimo* engine);
    // Stops the information thread: an item it is reading is finished first, the queue
    // is dropped.
    ~SFileListAdapter();
    SFileListAdapter(const SFileListAdapter&) = delete;
    SFileListAdapter& operator=(const SFileListAdapter&) = delete;

    // --- Filling ---------------------------------------------------------------------
    // Appends the file, duplicates included, and queues it for its information. Tells
    // no observer: callers do once after a batch.
    void AddItem(const std::wstring& path);
    // AddItem when the engine supports the file's type and the duplicate policy lets a
    // path already listed in; true when added.
    bool AddImageFile(const std::wstring& path);
    // Ask: the question goes to `addAgain` (true: add duplicates) the first time an add
    // meets one, and the answer becomes the policy. Without a question Ask skips.
    void SetDuplicatePolicy(DuplicatePolicy policy, std::function<bool()> addAgain = {});
    DuplicatePolicy GetDuplicatePolicy() const { return duplicates_; }
    bool Contains(const std::wstring& path) const { return listed_.count(path) != 0; }
    // The folder's files in natural name order ("img9" before "img10"); with `recursive`,
    // each subfolder's where it is met, depth first. Observers are told at the end of
    // each folder read. A folder reached twice through links is read once.
    void AddImageFolder(const std::wstring& folder, bool recursive);
    // Dropped paths in drop order: folders with their subfolders, files when supported.
    void AddDroppedFiles(const std::vector<std::wstring>& paths);

    // --- Reading ---------------------------------------------------------------------
    int GetCount() const { return int(items_.size()); }
    ImageListItemPtr GetItemData(int row) const; // null out of range
    std::wstring GetItemPath(int row) const;     // empty out of range
    // Column names "col1" to "col8": number, name, path, resolution, pixel size,
    // created, modified, pages.
    static std::wstring GetColumnName(int column);

    // The rows in order, with their turns.
    std::vector<ListRow> GetRows() const;
    // Puts back rows taken before (an undo): items, order and turns. The rows it brings
    // back or turns are selected; when there are none, the selected items stay selected.
    // Tells no observer.
    void SetRows(const std::vector<ListRow>& rows);

    // --- Changing --------------------------------------------------------------------
    void RemoveItem(int row); // out of range: nothing
    // Turns the selected rows by quarter turns, negative for anticlockwise; false when
    // none is selected.
    bool TurnSelectedItems(int quarterTurns);
    void RemoveAllItems();
    void RemoveErrorItems(); // then the selection is empty
    // Removes the selected rows and clears the selection. Answers the row that now
    // holds the item which followed the last removed row, -1 when none did.
    int RemoveSelectedItems();
    // Column 0 (the number) never sorts. The clicked column goes descending, then
    // ascending, then descending again; names compare as people read them ("img9"
    // before "img10", case ignored). flags: every column's state by creation index
    // (0 none, 1 descending, 2 ascending), rewritten. True when sorted.
    bool OnSort(int column, int* flags, int count);
    // Moves the selected rows as one block to stand where `target` stood (GetCount():
    // the end) and selects them there. With keep-order the block is in row order,
    // otherwise in the order the rows were selected.
    bool MoveItemsTo(int target, const std::vector<int>& selection);
    void SetKeepOrder(bool keep) { keepOrder_ = keep; }
    bool KeepOrder() const { return keepOrder_; }

    // --- Selection: an ordered list of rows and the anchor of a range ------------------
    void ToggleItemSelected(int row);
    void SelectRangeToItem(int row); // from the last selected row; nothing when none
    void ClearSelection();
    void SelectOnly(int row); // -1: none
    bool IsItemSelected(int row) const;
    void BeginRangeSelection(int row);
    void ExtendRangeSelection(int row);
    void EndRangeSelection() {}
    void MoveSelectionTo(int row);
    const std::vector<int>& GetSelection() const { return selection_; }

    // --- Observers -------------------------------------------------------------------
    void RegisterObserver(IImageListObserver* observer);
    void UnregisterObserver(IImageListObserver* observer);
    void NotifyChanged();
    void NotifyInvalidated();

    // --- Information -----------------------------------------------------------------
    // Starts the thread that reads each queued item's resolution, pixel size, pages and status
    // through the engine's image object. After each item it calls onItemReady(item) on
    // `owner`'s thread and waits until that call has run, so the owner sees items in
    // order and the queue never runs ahead of the window; the wait ends early when the
    // list is destroyed, so shutting down never hangs on a window that no longer
    // takes calls. Call once.
    void StartInfoThread(QObject* owner, std::function<void(const ImageListItemPtr&)> onItemReady);
    // Items still waiting for their information (for tests and progress).
    std::size_t PendingInfo() const;
    // The pages the list will give, over the rows whose count is known, and how many rows
    // are not known yet or cannot be read.
    struct PageTotal {
        long long pages = 0;
        int unknownRows = 0;
    };
    PageTotal TotalPages() const;

private:
    void infoLoop();
    bool readInfo(ImageListItem& item);
    void deliver(const ImageListItemPtr& item);
    void selectRun(int from, int to);
    void addFolder(const std::string& folder, bool recursive, std::vector<std::string>& seen);

    void forget(const ImageListItemPtr& item);
    void relist();

    IFolimo* engine_;
    std::vector<ImageListItemPtr> items_;
    // How many rows hold each path: an add of a thousand files to ten thousand rows
    // looks each up once instead of scanning the rows.
    std::unordered_map<std::wstring, int> listed_;
    DuplicatePolicy duplicates_ = DuplicatePolicy::Add;
    std::function<bool()> addAgain_;
    std::vector<int> selection_;
    int anchor_ = -1;
    bool keepOrder_ = true;
    std::vector<IImageListObserver*> observers_;

    // The information queue, and the item handed to the owner's thread, under one
    // mutex of ours: the owner's side is called by name and takes the item here, since
    // a hand-over inside a Qt event would be invisible to the thread sanitizer.
    struct InfoState {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<ImageListItemPtr> queue;
        bool stopping = false;
        ImageListItemPtr handed; // waiting for the owner's thread
        bool taken = false;
    };
    std::shared_ptr<InfoState> info_ = std::make_shared<InfoState>();
    std::thread infoThread_;
    QObject* relay_ = nullptr; // on the owner's thread; ours, deleted after the thread ends
};

} // namespace folimo
