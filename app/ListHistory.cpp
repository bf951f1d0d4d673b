#include "ListHistory.h"

#include <utility>

namespace folimo {

namespace {
// Each step holds the rows twice (two pointers and a turn a row): a hundred steps of a
// thousand rows stay within a few megabytes.
constexpr int kSteps = 100;
} // namespace

class ListHistory::Edit : public QUndoCommand {
public:
    Edit(ListHistory& history, std::vector<ListRow> before, std::vector<ListRow> after)
        : history_(history), before_(std::move(before)), after_(std::move(after)) {}

    void undo() override { history_.restore(before_); }
    // The edit is already made when it is pushed.
    void redo() override {
        if (!std::exchange(pushed_, false))
            history_.restore(after_);
    }

private:
    ListHistory& history_;
    std::vector<ListRow> before_;
    std::vector<ListRow> after_;
    bool pushed_ = true;
};

ListHistory::ListHistory(SFileListAdapter& list) : list_(list), last_(list.GetRows()) {
    stack_.setUndoLimit(kSteps);
    list_.RegisterObserver(this);
}

ListHistory::~ListHistory() {
    list_.UnregisterObserver(this);
}

ListHistory::Step::~Step() {
    if (--history_.held_ == 0)
        history_.record();
}

void ListHistory::Restart() {
    stack_.clear();
    last_ = list_.GetRows();
}

void ListHistory::OnListChanged() {
    if (held_ == 0 && !restoring_)
        record();
}

void ListHistory::record() {
    std::vector<ListRow> rows = list_.GetRows();
    if (rows == last_)
        return;
    stack_.push(new Edit(*this, std::exchange(last_, rows), rows));
}

void ListHistory::restore(const std::vector<ListRow>& rows) {
    restoring_ = true;
    list_.SetRows(rows);
    last_ = rows;
    list_.NotifyChanged();
    restoring_ = false;
}

} // namespace folimo
