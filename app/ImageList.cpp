#include "ImageList.h"

#include "NaturalOrder.h"
#include "Thumbnails.h"

#include <folimo/Owned.h>
#include <folimo/WideText.h>

#include <QCollator>
#include <QLocale>
#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <cwctype>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace folimo {

namespace {

// Both the creation and the modification time; 0 where the file system keeps none.
std::pair<std::int64_t, std::int64_t> fileTimes(const std::string& path) {
    struct statx st {};
    if (::statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BTIME | STATX_MTIME, &st) != 0)
        return {0, 0};
    const std::int64_t born = (st.stx_mask & STATX_BTIME) ? st.stx_btime.tv_sec : 0;
    const std::int64_t changed = (st.stx_mask & STATX_MTIME) ? st.stx_mtime.tv_sec : 0;
    return {born, changed};
}

bool equalsIgnoringCase(const std::wstring& a, const wchar_t* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::towlower(a[i]) != std::towlower(b[i]))
            return false;
    return i == a.size() && !b[i];
}

bool isPdfPath(const std::wstring& path) {
    return path.size() >= 4 && equalsIgnoringCase(path.substr(path.size() - 4), L".pdf");
}

// Runs the owner's handler on the owner's thread for the item the information thread
// handed over, then lets that thread go on.
class InfoRelay : public QObject {
    Q_OBJECT
public:
    InfoRelay(std::function<void(const ImageListItemPtr&)> onItemReady,
              std::function<ImageListItemPtr()> take, std::function<void()> done)
        : onItemReady_(std::move(onItemReady)), take_(std::move(take)), done_(std::move(done)) {}

public slots:
    void deliver() {
        if (ImageListItemPtr item = take_())
            onItemReady_(item);
        done_();
    }

private:
    std::function<void(const ImageListItemPtr&)> onItemReady_;
    std::function<ImageListItemPtr()> take_;
    std::function<void()> done_;
};

} // namespace

// --- ImageListItem -------------------------------------------------------------------

std::shared_ptr<ImageListItem> ImageListItem::create(const std::wstring& path) {
    auto item = std::make_shared<ImageListItem>();
    const auto slash = path.find_last_of(L'/');
    item->fields_[Name] = slash == std::wstring::npos ? path : path.substr(slash + 1);
    item->fields_[Path] = path;
    const auto [born, changed] = fileTimes(toUtf8(path));
    item->fields_[Created] = formatFileTime(born);
    item->fields_[Modified] = formatFileTime(changed);
    return item;
}

std::wstring ImageListItem::field(Field f) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fields_[f];
}

void ImageListItem::setField(Field f, std::wstring text) {
    std::lock_guard<std::mutex> lock(mutex_);
    fields_[f] = std::move(text);
}

bool ImageListItem::isError() const {
    const std::wstring status = field(Status);
    return equalsIgnoringCase(status, L"error") || equalsIgnoringCase(status, L"missing");
}

bool ImageListItem::isMissing() const {
    return equalsIgnoringCase(field(Status), L"missing");
}

int ImageListItem::clockwiseDegrees() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return quarterTurns_ * 90;
}

void ImageListItem::turn(int quarterTurns) {
    std::lock_guard<std::mutex> lock(mutex_);
    quarterTurns_ = ((quarterTurns_ + quarterTurns) % 4 + 4) % 4;
}

void ImageListItem::setClockwiseDegrees(int degrees) {
    std::lock_guard<std::mutex> lock(mutex_);
    quarterTurns_ = (degrees / 90 % 4 + 4) % 4;
}

std::wstring formatFileTime(std::int64_t seconds) {
    if (seconds == 0)
        return {};
    const std::time_t t = std::time_t(seconds);
    std::tm local{};
    if (!::localtime_r(&t, &local))
        return {};
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local);
    return fromUtf8(std::string_view(text, n));
}

// --- SFileListAdapter ----------------------------------------------------------------

SFileListAdapter::SFileListAdapter(IFolimo* engine) : engine_(engine) {}

SFileListAdapter::~SFileListAdapter() {
    {
        std::lock_guard<std::mutex> lock(info_->mutex);
        info_->stopping = true;
        info_->queue.clear();
    }
    info_->changed.notify_all();
    if (infoThread_.joinable())
        infoThread_.join();
    // Calls still queued for the relay go with it.
    if (relay_) {
        if (relay_->thread() == QThread::currentThread())
            delete relay_;
        else
            relay_->deleteLater();
    }
}

void SFileListAdapter::AddItem(const std::wstring& path) {
    ImageListItemPtr item = ImageListItem::create(path);
    items_.push_back(item);
    ++listed_[path];
    {
        std::lock_guard<std::mutex> lock(info_->mutex);
        info_->queue.push_back(std::move(item));
    }
    info_->changed.notify_all();
}

bool SFileListAdapter::AddImageFile(const std::wstring& path) {
    if (!engine_ || !engine_->IsSupportedFile(path.c_str()))
        return false;
    if (duplicates_ != DuplicatePolicy::Add && Contains(path)) {
        if (duplicates_ == DuplicatePolicy::Ask) {
            // Asked once: the answer stands for every later add, so a folder tree full
            // of files already listed never asks per file.
            duplicates_ = addAgain_ && addAgain_() ? DuplicatePolicy::Add : DuplicatePolicy::Skip;
            addAgain_ = nullptr;
        }
        if (duplicates_ == DuplicatePolicy::Skip)
            return false;
    }
    AddItem(path);
    return true;
}

void SFileListAdapter::SetDuplicatePolicy(DuplicatePolicy policy, std::function<bool()> addAgain) {
    duplicates_ = policy;
    addAgain_ = std::move(addAgain);
}

void SFileListAdapter::forget(const ImageListItemPtr& item) {
    const auto at = listed_.find(item->field(ImageListItem::Path));
    if (at != listed_.end() && --at->second <= 0)
        listed_.erase(at);
}

void SFileListAdapter::relist() {
    listed_.clear();
    for (const ImageListItemPtr& item : items_)
        ++listed_[item->field(ImageListItem::Path)];
}

void SFileListAdapter::AddImageFolder(const std::wstring& folder, bool recursive) {
    std::vector<std::string> seen;
    addFolder(toUtf8(folder), recursive, seen);
}

void SFileListAdapter::addFolder(const std::string& folder, bool recursive,
                                 std::vector<std::string>& seen) {
    // A link back up the tree would make the walk endless: each folder is read once,
    // known by its device and inode.
    struct stat self {};
    if (::stat(folder.c_str(), &self) != 0)
        return;
    const std::string id = std::to_string(self.st_dev) + ":" + std::to_string(self.st_ino);
    if (std::find(seen.begin(), seen.end(), id) != seen.end())
        return;
    seen.push_back(id);

    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    // The file system lists names in an order of its own (by hash, on most Linux file
    // systems); people expect a folder's pictures in name order, as a file manager
    // shows them.
    struct Entry {
        QString name;
        std::string path;
        bool isFolder;
    };
    std::vector<Entry> entries;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = prefix + name;
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            struct stat st {};
            isFolder = ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        entries.push_back({QString::fromStdWString(fromUtf8(name)), path, isFolder});
    }
    ::closedir(dir);
    const QCollator collator = NaturalOrder();
    std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
        return collator.compare(a.name, b.name) < 0;
    });
    for (const Entry& entry : entries) {
        if (!entry.isFolder)
            AddImageFile(fromUtf8(entry.path));
        else if (recursive)
            addFolder(entry.path, true, seen);
    }
    NotifyChanged();
}

void SFileListAdapter::AddDroppedFiles(const std::vector<std::wstring>& paths) {
    for (const std::wstring& path : paths) {
        struct stat st {};
        if (::stat(toUtf8(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            AddImageFolder(path, true);
        else
            AddImageFile(path);
    }
    NotifyChanged();
}

ImageListItemPtr SFileListAdapter::GetItemData(int row) const {
    if (row < 0 || row >= GetCount())
        return nullptr;
    return items_[std::size_t(row)];
}

std::wstring SFileListAdapter::GetItemPath(int row) const {
    const ImageListItemPtr item = GetItemData(row);
    return item ? item->field(ImageListItem::Path) : std::wstring();
}

std::wstring SFileListAdapter::GetColumnName(int column) {
    return L"col" + std::to_wstring(column + 1);
}

std::vector<ListRow> SFileListAdapter::GetRows() const {
    std::vector<ListRow> rows;
    rows.reserve(items_.size());
    for (const ImageListItemPtr& item : items_)
        rows.push_back({item, item->clockwiseDegrees()});
    return rows;
}

void SFileListAdapter::SetRows(const std::vector<ListRow>& rows) {
    // The rows a step brings back or turns become the selection, so that an undone
    // removal shows what came back; a step that only reorders or removes keeps the
    // selected items selected.
    std::unordered_map<const ImageListItem*, int> turnBefore;
    for (const ImageListItemPtr& item : items_)
        turnBefore.emplace(item.get(), item->clockwiseDegrees());
    std::unordered_set<const ImageListItem*> selectedBefore;
    for (int row : selection_)
        selectedBefore.insert(items_[std::size_t(row)].get());
    items_.clear();
    items_.reserve(rows.size());
    selection_.clear();
    for (const ListRow& row : rows) {
        const auto before = turnBefore.find(row.item.get());
        if (before == turnBefore.end() || before->second != row.clockwiseDegrees)
            selection_.push_back(GetCount());
        row.item->setClockwiseDegrees(row.clockwiseDegrees);
        items_.push_back(row.item);
    }
    if (selection_.empty())
        for (int row = 0; row < GetCount(); ++row)
            if (selectedBefore.count(items_[std::size_t(row)].get()))
                selection_.push_back(row);
    relist();
    anchor_ = selection_.empty() ? -1 : selection_.back();
}

bool SFileListAdapter::TurnSelectedItems(int quarterTurns) {
    for (int row : selection_)
        items_[std::size_t(row)]->turn(quarterTurns);
    return !selection_.empty();
}

void SFileListAdapter::RemoveItem(int row) {
    if (row < 0 || row >= GetCount())
        return;
    forget(items_[std::size_t(row)]);
    items_.erase(items_.begin() + row);
    // The selection keeps naming the same items.
    std::vector<int> kept;
    for (int selected : selection_) {
        if (selected == row)
            continue;
        kept.push_back(selected > row ? selected - 1 : selected);
    }
    selection_ = std::move(kept);
    if (anchor_ == row)
        anchor_ = -1;
    else if (anchor_ > row)
        --anchor_;
}

void SFileListAdapter::RemoveAllItems() {
    items_.clear();
    listed_.clear();
    selection_.clear();
    anchor_ = -1;
}

void SFileListAdapter::RemoveErrorItems() {
    std::erase_if(items_, [](const ImageListItemPtr& item) { return item->isError(); });
    relist();
    selection_.clear();
    anchor_ = -1;
}

int SFileListAdapter::RemoveSelectedItems() {
    std::vector<int> rows;
    for (int row : selection_)
        if (row >= 0 && row < GetCount())
            rows.push_back(row);
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    const int countBefore = GetCount();
    for (int row : rows)
        RemoveItem(row);
    selection_.clear();
    anchor_ = -1;
    if (rows.empty() || rows.front() + 1 >= countBefore)
        return -1;
    return rows.front() + 1 - int(rows.size());
}

bool SFileListAdapter::OnSort(int column, int* flags, int count) {
    if (column <= 0 || column >= count || column > ImageListItem::Pages + 1 || !flags)
        return false;
    const int state = flags[column] == 1 ? 2 : 1;
    std::fill(flags, flags + count, 0);
    flags[column] = state;

    const auto field = ImageListItem::Field(column - 1);
    const QCollator collator = NaturalOrder();
    // Keys once, not per comparison: each read takes the item's lock.
    std::vector<std::pair<QString, ImageListItemPtr>> keyed;
    keyed.reserve(items_.size());
    for (const auto& item : items_)
        keyed.emplace_back(QString::fromStdWString(displayText(item->field(field))), item);
    // Stable, so that rows of equal text keep the order the user gave them.
    std::stable_sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
        const int c = collator.compare(a.first, b.first);
        return state == 1 ? c > 0 : c < 0;
    });
    // The selection follows its items to their new rows.
    std::vector<ImageListItemPtr> selected;
    for (int row : selection_)
        if (row >= 0 && row < GetCount())
            selected.push_back(items_[std::size_t(row)]);
    for (std::size_t i = 0; i < keyed.size(); ++i)
        items_[i] = std::move(keyed[i].second);
    selection_.clear();
    for (const auto& item : selected)
        selection_.push_back(int(std::find(items_.begin(), items_.end(), item) - items_.begin()));
    anchor_ = -1;
    return true;
}

bool SFileListAdapter::MoveItemsTo(int target, const std::vector<int>& selection) {
    // Rows that are not rows, and a row named twice, would take the wrong items out.
    std::vector<int> rows;
    for (int row : selection)
        if (row >= 0 && row < GetCount() && std::find(rows.begin(), rows.end(), row) == rows.end())
            rows.push_back(row);
    if (rows.empty())
        return false;
    if (keepOrder_)
        std::sort(rows.begin(), rows.end());
    target = std::clamp(target, 0, GetCount());

    int insertAt = target;
    std::vector<int> removed;
    std::vector<ImageListItemPtr> block;
    for (int v : rows) {
        const int before =
            int(std::count_if(removed.begin(), removed.end(), [v](int r) { return r < v; }));
        if (v < target)
            --insertAt;
        const int now = v - before;
        block.push_back(items_[std::size_t(now)]);
        items_.erase(items_.begin() + now);
        removed.push_back(v);
    }
    items_.insert(items_.begin() + insertAt, block.begin(), block.end());
    selection_.clear();
    for (std::size_t i = 0; i < block.size(); ++i)
        selection_.push_back(insertAt + int(i));
    anchor_ = -1;
    return true;
}

// --- Selection -----------------------------------------------------------------------

void SFileListAdapter::selectRun(int from, int to) {
    selection_.clear();
    const int step = to >= from ? 1 : -1;
    for (int row = from;; row += step) {
        selection_.push_back(row);
        if (row == to)
            break;
    }
}

void SFileListAdapter::ToggleItemSelected(int row) {
    auto at = std::find(selection_.begin(), selection_.end(), row);
    if (at != selection_.end())
        selection_.erase(at);
    else
        selection_.push_back(row);
    NotifyInvalidated();
}

void SFileListAdapter::SelectRangeToItem(int row) {
    if (selection_.empty())
        return;
    selectRun(selection_.back(), row);
    NotifyInvalidated();
}

void SFileListAdapter::ClearSelection() {
    selection_.clear();
    NotifyInvalidated();
}

void SFileListAdapter::SelectOnly(int row) {
    selection_.clear();
    if (row >= 0)
        selection_.push_back(row);
    NotifyInvalidated();
}

bool SFileListAdapter::IsItemSelected(int row) const {
    return row >= 0 && std::find(selection_.begin(), selection_.end(), row) != selection_.end();
}

// A band begun below the last row starts with -1 as its first entry: it reaches the
// rows only when it is dragged up onto them, and then runs from the last row.
void SFileListAdapter::BeginRangeSelection(int row) {
    anchor_ = row;
    selection_.assign(1, row);
    NotifyInvalidated();
}

void SFileListAdapter::ExtendRangeSelection(int row) {
    if (row == -1)
        return;
    const int last = GetCount() - 1;
    if (!selection_.empty() && selection_.front() == -1) {
        if (row >= last) {
            selection_.front() = row;
            NotifyInvalidated();
            return;
        }
        selection_.front() = last;
    }
    const int start = anchor_ != -1 ? anchor_ : selection_.empty() ? row : selection_.front();
    selectRun(start, row);
    NotifyInvalidated();
}

void SFileListAdapter::MoveSelectionTo(int row) {
    if (row != -1 && !IsItemSelected(row) && MoveItemsTo(row, selection_))
        NotifyInvalidated();
}

// --- Observers -----------------------------------------------------------------------

void SFileListAdapter::RegisterObserver(IImageListObserver* observer) {
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void SFileListAdapter::UnregisterObserver(IImageListObserver* observer) {
    std::erase(observers_, observer);
}

void SFileListAdapter::NotifyChanged() {
    for (IImageListObserver* observer : std::vector(observers_))
        observer->OnListChanged();
}

void SFileListAdapter::NotifyInvalidated() {
    for (IImageListObserver* observer : std::vector(observers_))
        observer->OnListInvalidated();
}

// --- Information thread --------------------------------------------------------------

void SFileListAdapter::StartInfoThread(QObject* owner,
                                       std::function<void(const ImageListItemPtr&)> onItemReady) {
    if (infoThread_.joinable() || !owner || !onItemReady)
        return;
    std::shared_ptr<InfoState> info = info_;
    relay_ = new InfoRelay(
        std::move(onItemReady),
        [info] {
            std::lock_guard<std::mutex> lock(info->mutex);
            return std::exchange(info->handed, nullptr);
        },
        [info] {
            {
                std::lock_guard<std::mutex> lock(info->mutex);
                info->taken = true;
            }
            info->changed.notify_all();
        });
    relay_->moveToThread(owner->thread());
    infoThread_ = std::thread([this] { infoLoop(); });
}

SFileListAdapter::PageTotal SFileListAdapter::TotalPages() const {
    // Unreadable rows are left out: a conversion skips them.
    PageTotal total;
    for (const ImageListItemPtr& item : items_) {
        if (item->isError())
            continue;
        const std::wstring pages = item->field(ImageListItem::Pages);
        if (pages.empty())
            ++total.unknownRows;
        else
            total.pages += std::wcstoll(pages.c_str(), nullptr, 10);
    }
    return total;
}

std::size_t SFileListAdapter::PendingInfo() const {
    std::lock_guard<std::mutex> lock(info_->mutex);
    return info_->queue.size();
}

void SFileListAdapter::infoLoop() {
    for (;;) {
        ImageListItemPtr item;
        {
            std::unique_lock<std::mutex> lock(info_->mutex);
            info_->changed.wait(lock, [this] { return info_->stopping || !info_->queue.empty(); });
            if (info_->stopping)
                return;
            item = std::move(info_->queue.front());
            info_->queue.pop_front();
        }
        readInfo(*item);
        // A file that failed is worth telling too: its row turns red.
        deliver(item);
    }
}

bool SFileListAdapter::readInfo(ImageListItem& item) {
    const std::wstring path = item.field(ImageListItem::Path);
    // A file that went away (a list kept from an earlier run) says so, rather than
    // looking like a damaged one.
    struct stat st {};
    if (::stat(toUtf8(path).c_str(), &st) != 0 && errno == ENOENT) {
        item.setField(ImageListItem::Status, L"missing");
        return false;
    }
    const int pages = thumbs::PageCount(QString::fromStdWString(path));
    if (pages != thumbs::kUnknownPages)
        item.setField(ImageListItem::Pages, std::to_wstring(pages));
    if (isPdfPath(path))
        return false;
    Owned<IXImage> image = createObject<IXImage>(FOLIMO_IMAGE);
    if (!image)
        return false;
    if (image->Load(path.c_str()) != 0) {
        item.setField(ImageListItem::Status, L"error");
        return false;
    }
    int width = 0, height = 0;
    image->GetSize(&width, &height);
    item.setField(ImageListItem::Resolution, std::to_wstring(image->GetResolution()));
    item.setField(ImageListItem::PixelSize,
                  std::to_wstring(width) + L" \u00D7 " + std::to_wstring(height));
    item.setField(ImageListItem::Status, L"ok");
    return true;
}

void SFileListAdapter::deliver(const ImageListItemPtr& item) {
    {
        std::lock_guard<std::mutex> lock(info_->mutex);
        info_->handed = item;
        info_->taken = false;
    }
    if (!QMetaObject::invokeMethod(relay_, "deliver", Qt::QueuedConnection))
        return;
    std::unique_lock<std::mutex> lock(info_->mutex);
    info_->changed.wait(lock, [&] { return info_->taken || info_->stopping; });
}

} // namespace folimo

#include "ImageList.moc"
