#include "McListAccessible.h"

#include "SMCListViewEx.h"

#include <QAbstractItemModel>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QHash>
#include <QHeaderView>
#include <QPointer>
#include <QScrollBar>

#include <algorithm>

namespace folimo::ui {

namespace {

// Columns are numbered as the user sees them, left to right, whatever their creation
// order.
int logicalColumn(const SMCListViewEx* list, int column) {
    const QHeaderView* header = list->GetHeader();
    return column >= 0 && column < header->count() ? header->logicalIndex(column) : -1;
}

int rowTotal(const SMCListViewEx* list) {
    IMcAdapterEx* adapter = list ? list->GetAdapter() : nullptr;
    return adapter ? adapter->GetCount() : 0;
}

// A column's title, which assistive technology reads as the header of the column's cells.
class ColumnHeader : public QAccessibleInterface {
public:
    ColumnHeader(SMCListViewEx* list, int column) : list_(list), column_(column) {}

    bool isValid() const override { return list_ && column_ < list_->GetHeader()->count(); }
    QObject* object() const override { return nullptr; }
    QAccessibleInterface* parent() const override {
        return list_ ? QAccessible::queryAccessibleInterface(list_.data()) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override {
        if (!isValid() || t != QAccessible::Name)
            return {};
        const QHeaderView* header = list_->GetHeader();
        return header->model()
            ->headerData(logicalColumn(list_, column_), Qt::Horizontal)
            .toString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        if (!isValid())
            return {};
        const QHeaderView* header = list_->GetHeader();
        const int logical = logicalColumn(list_, column_);
        const QRect section(header->sectionViewportPosition(logical), 0,
                            header->sectionSize(logical), header->height());
        return QRect(header->viewport()->mapToGlobal(section.topLeft()), section.size());
    }
    QAccessible::Role role() const override { return QAccessible::ColumnHeader; }
    QAccessible::State state() const override { return {}; }

private:
    QPointer<SMCListViewEx> list_;
    int column_;
};

class ListCell : public QAccessibleInterface, public QAccessibleTableCellInterface {
public:
    ListCell(SMCListViewEx* list, int row, int column) : list_(list), row_(row), column_(column) {}

    bool isValid() const override {
        return list_ && row_ < rowTotal(list_) && column_ < list_->GetHeader()->count();
    }
    QObject* object() const override { return nullptr; }
    QAccessibleInterface* parent() const override {
        return list_ ? QAccessible::queryAccessibleInterface(list_.data()) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override {
        if (!isValid() || (t != QAccessible::Name && t != QAccessible::Value))
            return {};
        return list_->GetCellText(row_, logicalColumn(list_, column_));
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        if (!isValid())
            return {};
        const QHeaderView* header = list_->GetHeader();
        const int logical = logicalColumn(list_, column_);
        QRect cell = list_->GetItemRect(row_);
        cell.setLeft(cell.left() + header->sectionPosition(logical));
        cell.setWidth(header->sectionSize(logical));
        QWidget* viewport = list_->viewport();
        cell &= viewport->rect();
        return cell.isEmpty() ? QRect() : QRect(viewport->mapToGlobal(cell.topLeft()), cell.size());
    }
    QAccessible::Role role() const override { return QAccessible::Cell; }
    QAccessible::State state() const override {
        QAccessible::State state;
        state.selectable = true;
        state.focusable = true;
        if (!isValid())
            return state;
        state.selected = isSelected();
        state.focused = list_->hasFocus() && list_->GetSel() == row_;
        state.invisible = !list_->GetItemPanel(row_);
        state.offscreen = state.invisible;
        return state;
    }
    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::TableCellInterface
                   ? static_cast<QAccessibleTableCellInterface*>(this)
                   : nullptr;
    }

    bool isSelected() const override {
        return isValid() && list_->GetAdapter()->IsItemSelected(row_);
    }
    QList<QAccessibleInterface*> columnHeaderCells() const override;
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return column_; }
    int rowIndex() const override { return row_; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return parent(); }

private:
    QPointer<SMCListViewEx> list_;
    int row_;
    int column_;
};

class ListTable : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit ListTable(SMCListViewEx* list) : QAccessibleWidget(list, QAccessible::Table) {}
    ~ListTable() override { forgetCells(); }

    SMCListViewEx* list() const { return static_cast<SMCListViewEx*>(widget()); }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TableInterface)
            return static_cast<QAccessibleTableInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name) {
            // The internal name means nothing to a listener; the caption does.
            return list()->accessibleName().isEmpty()
                       ? QCoreApplication::translate("McListAccessible", "图片列表")
                       : list()->accessibleName();
        }
        return QAccessibleWidget::text(t);
    }
    int childCount() const override { return rowCount() * columnCount(); }
    QAccessibleInterface* child(int index) const override {
        const int columns = columnCount();
        if (index < 0 || columns == 0 || index >= childCount())
            return nullptr;
        return cellAt(index / columns, index % columns);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        if (!child || child->role() != QAccessible::Cell)
            return -1;
        auto* cell = const_cast<QAccessibleInterface*>(child)->tableCellInterface();
        return cell ? cell->rowIndex() * columnCount() + cell->columnIndex() : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        QWidget* viewport = list()->viewport();
        const QPoint point = viewport->mapFromGlobal(QPoint(x, y));
        const int row = list()->HitTest(point);
        const QHeaderView* header = list()->GetHeader();
        const int logical = header->logicalIndexAt(point.x());
        if (row < 0 || logical < 0)
            return nullptr;
        return cellAt(row, header->visualIndex(logical));
    }

    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override {
        if (row < 0 || column < 0 || row >= rowCount() || column >= columnCount())
            return nullptr;
        return cached(row, column, [&] { return new ListCell(list(), row, column); });
    }
    QAccessibleInterface* headerAt(int column) const {
        if (column < 0 || column >= columnCount())
            return nullptr;
        return cached(-1, column, [&] { return new ColumnHeader(list(), column); });
    }
    int columnCount() const override { return list()->GetHeader()->count(); }
    int rowCount() const override { return rowTotal(list()); }
    QString columnDescription(int column) const override {
        const int logical = logicalColumn(list(), column);
        if (logical < 0)
            return {};
        return list()->GetHeader()->model()->headerData(logical, Qt::Horizontal).toString();
    }
    QString rowDescription(int) const override { return {}; }
    int selectedCellCount() const override { return selectedRowCount() * columnCount(); }
    QList<QAccessibleInterface*> selectedCells() const override {
        QList<QAccessibleInterface*> cells;
        for (int row : selectedRows()) {
            for (int column = 0; column < columnCount(); ++column)
                cells << cellAt(row, column);
        }
        return cells;
    }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override { return int(selectedRows().size()); }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override {
        QList<int> rows;
        IMcAdapterEx* adapter = list()->GetAdapter();
        if (!adapter)
            return rows;
        const int count = adapter->GetCount();
        for (int row : adapter->GetSelection()) {
            if (row >= 0 && row < count)
                rows << row;
        }
        std::sort(rows.begin(), rows.end());
        rows.resize(std::unique(rows.begin(), rows.end()) - rows.begin());
        return rows;
    }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override {
        return row >= 0 && row < rowCount() && list()->GetAdapter()->IsItemSelected(row);
    }
    bool selectRow(int row) override {
        if (row < 0 || row >= rowCount())
            return false;
        if (!isRowSelected(row))
            list()->GetAdapter()->ToggleItemSelected(row);
        return true;
    }
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override {
        if (row < 0 || row >= rowCount())
            return false;
        if (isRowSelected(row))
            list()->GetAdapter()->ToggleItemSelected(row);
        return true;
    }
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent*) override { forgetCells(); }

private:
    // Row -1 holds the column headers.
    template <class Make>
    QAccessibleInterface* cached(int row, int column, Make make) const {
        const quint64 key = (quint64(quint32(row)) << 32) | quint32(column);
        const auto found = cells_.constFind(key);
        if (found != cells_.constEnd())
            return QAccessible::accessibleInterface(*found);
        // Screen readers walk cells one by one; a bounded cache keeps a long walk small.
        if (cells_.size() > 4096)
            const_cast<ListTable*>(this)->forgetCells();
        QAccessibleInterface* made = make();
        cells_.insert(key, QAccessible::registerAccessibleInterface(made));
        return made;
    }
    void forgetCells() {
        for (QAccessible::Id id : std::as_const(cells_))
            QAccessible::deleteAccessibleInterface(id);
        cells_.clear();
    }
    mutable QHash<quint64, QAccessible::Id> cells_;
};

QList<QAccessibleInterface*> ListCell::columnHeaderCells() const {
    auto* table = list_ ? dynamic_cast<ListTable*>(parent()) : nullptr;
    QAccessibleInterface* header = table ? table->headerAt(column_) : nullptr;
    return header ? QList<QAccessibleInterface*>{header} : QList<QAccessibleInterface*>{};
}

QAccessibleInterface* listFactory(const QString&, QObject* object) {
    if (auto* list = qobject_cast<SMCListViewEx*>(object))
        return new ListTable(list);
    return nullptr;
}

} // namespace

void installMcListAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(&listFactory);
        return true;
    }();
    (void)installed;
}

} // namespace folimo::ui
