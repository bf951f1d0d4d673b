// The program's multi-column list ("mclistviewex"): a header of columns over one panel
// per row in view. Rows are built from an item template and filled by an adapter
// (McAdapter.h), which also keeps the selection, so the cost of showing, scrolling and
// selecting depends on the rows in view, never on the rows in the list.
#pragma once

#include "McAdapter.h"

#include <QAbstractScrollArea>
#include <QPoint>
#include <QPointer>
#include <QRgb>
#include <QTimer>

#include <memory>
#include <vector>

class QHeaderView;
class QStandardItemModel;

namespace folimo::ui {

class McRowLocator;
class McListOverlay;

// One row's panel. The list hands it to the adapter to fill and keeps its state; the
// panel paints its own background by that state.
class McItemPanel : public QWidget {
    Q_OBJECT
public:
    explicit McItemPanel(QWidget* parent = nullptr);

    int row() const { return row_; }
    void setRow(int row) { row_ = row; }
    int viewType() const { return viewType_; }
    void setViewType(int type) { viewType_ = type; }
    unsigned state() const { return state_; } // McRowState bits
    void setState(unsigned state);

    // Builds a panel from an item template (a layout name or path): the template's own
    // controls become the panel's children, so the cells are found by name in it. What
    // adapters call from GetView for a panel without children. False when the template
    // cannot be built.
    static bool BuildFromTemplate(QWidget* panel, const QString& itemTemplate);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int row_ = -1;
    int viewType_ = 0;
    unsigned state_ = 0;
};

class SMCListViewEx : public QAbstractScrollArea {
    Q_OBJECT
    Q_CLASSINFO("layoutClass", "mclistviewex")
public:
    explicit SMCListViewEx(QWidget* parent = nullptr);
    ~SMCListViewEx() override;

    // Detaches the previous adapter (its panels go with it) and shows this one.
    void SetAdapter(std::shared_ptr<IMcAdapterEx> adapter);
    IMcAdapterEx* GetAdapter() const { return adapter_.get(); }

    // Makes `row` the current row and the only selected one (-1: none). With `notify`,
    // selectionChanging may cancel it and selectionChanged follows. False when nothing
    // changed.
    bool SetSel(int row, bool notify = false);
    int GetSel() const { return current_; }
    // Selects every row; the current row stays.
    void SelectAll();
    void EnsureVisible(int row);
    // Rows put in an order of the person's own: the header no longer says the list is
    // sorted, and the next click on a column starts its sort afresh.
    void ClearSortMarks();

    // Columns are appended in creation order and shown at display position `index`; the
    // adapter knows them by creation order whatever the display order.
    int InsertColumn(int index, const QString& text, int width, const QVariant& data = {});
    bool DeleteColumn(int index); // display position
    QHeaderView* GetHeader() const { return header_; }

    // The visible row under a viewport point, -1 for none.
    int HitTest(QPoint viewportPos) const;
    // A row's rectangle in viewport coordinates (whether or not it is in view).
    QRect GetItemRect(int row) const;
    // The panel of a row in view, null for others.
    McItemPanel* GetItemPanel(int row) const;
    int GetFirstVisibleRow() const { return firstVisible_; }
    int GetVisibleRowCount() const { return int(visible_.size()); }
    int GetPanelCount() const; // visible and spare panels, for checking that rows are reused

    // Cell texts as the row shows them: the texts of the labels in the cell control of a
    // row in view; other rows answer through IMcCellText when the adapter has it.
    QString GetCellText(int row, int column) const; // column: creation index

    // Layout attributes after parsing.
    int headerHeight() const { return headerHeight_; }
    int dividerSize() const { return dividerSize_; }
    bool wantTab() const { return wantTab_; }
    bool canSwapItem() const { return canSwapItem_; }
    QRgb colorSwapLine() const { return colorSwapLine_; }
    QRgb colorDropBk() const { return colorDropBk_; }
    int dropBkAlpha() const { return dropBkAlpha_; }
    bool isBandSelecting() const { return banding_; }
    bool isMoveDragging() const { return moveDragging_; }

    // Sets a layout attribute by name, as the layout does. False, with the old value kept,
    // for a value the attribute refuses or a name it does not know.
    bool SetAttribute(const QString& name, const QString& value);

signals:
    // Escape or Enter pressed in the list, also sent to the window that owns it.
    void keyForOwner(int key);
    // The current row is about to change; a handler sets *cancel to keep the old one.
    void selectionChanging(int oldRow, int newRow, bool* cancel);
    // The current row changed, by the user or because a sort moved its item.
    void selectionChanged(int oldRow, int newRow);

protected:
    bool event(QEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    class Observer;
    friend class McListOverlay;

    void setUp();
    void adoptHeader(QWidget* placeholder);
    void makeHeader();
    void readTemplate();
    void detachAdapter();
    void makeLocator();
    void refresh();
    void onInvalidated();
    // Finds the current row's item again after the rows changed; `dropUnselected` lets a
    // row the change left unselected go.
    void followCurrentItem(bool dropUnselected);
    void requestRebuild();
    void rebuildIfPending();
    void rebuildVisibleRows();
    void bindPanel(McItemPanel* panel, int row, unsigned state);
    void placeCells(McItemPanel* panel);
    void placePanel(McItemPanel* panel);
    void placeHeader();
    void updateScrollBars();
    void columnsChanged();
    void onHeaderClick(int logical);
    void onItemChanged(int row);
    unsigned rowState(int row) const;
    McItemPanel* takePanel(int viewType);
    void setHover(int row);
    void pressRow(int row);
    void extendBandAfterScroll();
    void endBand();
    void endMoveDrag();
    void scrollLines(int lines);
    QRect bandRect() const;
    int lastVisibleRow() const;

    std::shared_ptr<IMcAdapterEx> adapter_;
    std::unique_ptr<Observer> observer_;
    std::unique_ptr<McRowLocator> locator_;
    QHeaderView* header_ = nullptr;
    QStandardItemModel* columns_ = nullptr;
    McListOverlay* overlay_ = nullptr;
    std::vector<int> sortFlags_; // by creation index
    bool setUpDone_ = false;

    QString itemTemplate_;
    int itemHeight_ = 0; // > 0: every row this tall
    int defHeight_ = 0;  // rows not yet measured, flexible heights
    QString headerHeightText_;
    int headerHeight_ = 0;
    int dividerSize_ = 0;
    bool wantTab_ = false;
    bool canSwapItem_ = true;
    QRgb colorSwapLine_ = 0xFF000000;
    QRgb colorDropBk_ = 0x000000FF; // ARGB of the toolkit's 0x00FF0000
    int dropBkAlpha_ = 88;
    QRgb dividerColor_ = 0;
    bool hasDivider_ = false;

    int current_ = -1;
    // The item the current row shows (the adapter's item data, only compared): when rows
    // are sorted, moved or removed the current row follows it, as the selection does.
    void* currentItem_ = nullptr;
    int hoverRow_ = -1;
    int firstVisible_ = -1;
    std::vector<McItemPanel*> visible_;           // in row order
    std::vector<std::vector<McItemPanel*>> bins_; // spare panels by view type

    bool banding_ = false;
    QPoint bandStart_;
    QPoint bandCurrent_;
    bool outAbove_ = false, outBelow_ = false; // where the band's pointer left the rows
    QTimer autoScroll_;

    bool moveDragging_ = false;
    bool moved_ = false;
    bool dropAbove_ = false;
    int dropRow_ = -1;

    bool pendingRefresh_ = true;
    bool rebuildQueued_ = false;
    bool inRebuild_ = false;
    bool offeringKey_ = false; // a key a panel leaves comes back up to the list
    QPointer<QWidget> focusedChild_;
};

} // namespace folimo::ui
