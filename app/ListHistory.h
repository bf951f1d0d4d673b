// The list's edits, to be undone and redone. Whatever changes the rows (adding, removing,
// moving, sorting, turning) becomes one step, found by comparing the rows each time the
// list says they changed: no command has to describe its own undoing, and a way of
// editing added later is undoable from the start.
#pragma once

#include "ImageList.h"

#include <QUndoStack>

#include <vector>

namespace folimo {

class ListHistory final : public IImageListObserver {
public:
    // Watches `list`, which must outlive it; its present rows are the starting point.
    explicit ListHistory(SFileListAdapter& list);
    ~ListHistory();
    ListHistory(const ListHistory&) = delete;
    ListHistory& operator=(const ListHistory&) = delete;

    // Undo and redo put the rows back and tell the list's observers.
    QUndoStack& Stack() { return stack_; }
    // Forgets every step: the present rows become the starting point (a list put back
    // from an earlier run is not an edit to undo).
    void Restart();

    // The changes made while a Step lives are one step, taken when the last one ends: a
    // folder tree read folder by folder is undone at once.
    class Step {
    public:
        explicit Step(ListHistory& history) : history_(history) { ++history_.held_; }
        ~Step();
        Step(const Step&) = delete;
        Step& operator=(const Step&) = delete;

    private:
        ListHistory& history_;
    };

    // A move by dragging tells only that the rows look different: both are compared.
    void OnListChanged() override;
    void OnListInvalidated() override { OnListChanged(); }
    void OnListItemChanged(int) override {}

private:
    class Edit;
    void record();
    void restore(const std::vector<ListRow>& rows);

    SFileListAdapter& list_;
    std::vector<ListRow> last_; // the rows as the last step left them
    QUndoStack stack_;
    int held_ = 0;
    bool restoring_ = false;
};

} // namespace folimo
