// What the multi-column list view asks of the data behind it. The list shows only the
// rows in its viewport, each in a panel built from the item template and filled by
// GetView; the selection lives in the adapter, so the list never holds per-row state.
#pragma once

#include <QRect>
#include <QSize>
#include <QString>

#include <vector>

class QWidget;

namespace folimo::ui {

// Row state bits passed to GetItemViewType.
enum McRowState : unsigned {
    McRowHover = 1,
    McRowSelected = 4,
};

// What an adapter tells the lists that show it, in this order of slots.
struct IDataSetObserver {
    virtual void OnChanged() = 0;            // count or rows changed: re-read everything
    virtual void OnInvalidated() = 0;        // same rows, new looks: repaint
    virtual void OnItemChanged(int row) = 0; // one row's data changed

protected:
    ~IDataSetObserver() = default;
};

struct IMcAdapterEx {
    virtual ~IMcAdapterEx() = default;

    virtual void RegisterDataSetObserver(IDataSetObserver* observer) = 0;
    virtual void UnregisterDataSetObserver(IDataSetObserver* observer) = 0;
    virtual int GetCount() = 0;
    // Fills the row's panel; a panel without children is first built from the template
    // (a layout name, as the list's "itemTemplate" gives it).
    virtual void GetView(int row, QWidget* panel, const QString& itemTemplate) = 0;
    virtual int GetItemViewType(int row, unsigned state) = 0;
    virtual int GetViewTypeCount() = 0;
    // The panel's wanted size within `available`, for lists whose rows differ in height.
    virtual QSize GetViewDesiredSize(int row, QWidget* panel, QSize available) = 0;
    virtual bool IsEmpty() = 0;
    virtual void* GetItemData(int row) = 0;
    virtual QString GetItemDesc(int row) = 0;
    virtual void InitByTemplate(const QString& itemTemplate) = 0;
    // The objectName of the cell control that shows `column` (its creation index) in a
    // row panel.
    virtual QString GetColumnName(int column) = 0;
    virtual bool IsColumnVisible(int column) = 0;
    // flags[i]: column i's sort state (0 none, 1 descending, 2 ascending), by creation
    // index; the adapter writes the new states. True when the rows were sorted.
    virtual bool OnSort(int column, int* flags, int count) = 0;

    virtual void ToggleItemSelected(int row) = 0;
    virtual void SelectRangeToItem(int row) = 0;
    virtual void ClearSelection() = 0;
    virtual void SelectOnly(int row) = 0; // -1: none
    virtual bool IsItemSelected(int row) = 0;
    virtual void BeginRangeSelection(int row) = 0;
    virtual void ExtendRangeSelection(int row) = 0;
    virtual void EndRangeSelection() = 0;
    // Moves the selected rows to stand before `row` (the count: the end); nothing for -1
    // or a selected row.
    virtual void MoveSelectionTo(int row) = 0;
    virtual bool MoveItemsTo(int row, const std::vector<int>& selection) = 0;
    virtual std::vector<int> GetSelection() = 0;
};

// Optional beside IMcAdapterEx: a cell's text without building its row, so assistive
// technology can read rows that are scrolled out of view.
struct IMcCellText {
    virtual QString GetCellText(int row, int column) = 0; // column: creation index

protected:
    ~IMcCellText() = default;
};

} // namespace folimo::ui
