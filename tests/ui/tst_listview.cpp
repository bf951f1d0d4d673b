// The multi-column list as a user meets it: built from a layout, filled from an adapter
// that keeps an ordered selection with an anchor, and driven by mouse and keyboard on its
// viewport. Rows come from the interface package's own item template.

#include "ProgramControls.h"
#include "Resources.h"
#include "UiLoader.h"

#include <QAccessible>
#include <QApplication>
#include <QBuffer>
#include <QHeaderView>
#include <QLabel>
#include <QResource>
#include <QScrollBar>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

using namespace folimo::ui;

using Rows = std::vector<int>;
using Clicks = QList<QPair<int, int>>; // row (-1: below the rows), modifiers
Q_DECLARE_METATYPE(Rows)

namespace {

// Rows hold item ids; a row shows "img<id>" as its name. Selection operations follow the
// image list's adapter, with moved rows kept in row order.
class TestAdapter : public IMcAdapterEx, public IMcCellText {
public:
    explicit TestAdapter(int count) {
        for (int i = 0; i < count; ++i)
            items.push_back(i);
    }

    std::vector<int> items;
    std::vector<int> selection;
    int anchor = -1;
    std::vector<int> sortedColumns;
    int viewCalls = 0;
    std::function<int(int row)> heightOf; // rows of their own height, when the template has none
    std::vector<IDataSetObserver*> observers;

    Rows selectedRows() const {
        Rows rows;
        for (int row : selection) {
            if (row >= 0)
                rows.push_back(row);
        }
        return rows;
    }

    void RegisterDataSetObserver(IDataSetObserver* o) override { observers.push_back(o); }
    void UnregisterDataSetObserver(IDataSetObserver* o) override {
        observers.erase(std::remove(observers.begin(), observers.end(), o), observers.end());
    }
    int GetCount() override { return int(items.size()); }
    void GetView(int row, QWidget* panel, const QString& itemTemplate) override {
        ++viewCalls;
        if (panel->findChildren<QWidget*>().isEmpty())
            McItemPanel::BuildFromTemplate(panel, itemTemplate);
        setLabel(panel, "txt_number", QString::number(row + 1));
        setLabel(panel, "txt_name", name(row));
        setLabel(panel, "txt_path", QStringLiteral("/photos"));
    }
    int GetItemViewType(int, unsigned) override { return 0; }
    int GetViewTypeCount() override { return 1; }
    QSize GetViewDesiredSize(int row, QWidget*, QSize available) override {
        return {available.width(), heightOf ? heightOf(row) : 30};
    }
    bool IsEmpty() override { return items.empty(); }
    void* GetItemData(int row) override {
        return reinterpret_cast<void*>(quintptr(items[size_t(row)]) + 1);
    }
    QString GetItemDesc(int) override { return {}; }
    void InitByTemplate(const QString&) override {}
    QString GetColumnName(int column) override { return QStringLiteral("col%1").arg(column + 1); }
    bool IsColumnVisible(int) override { return true; }
    bool OnSort(int column, int* flags, int count) override {
        sortedColumns.push_back(column);
        if (column == 0)
            return false;
        const int state = flags[column] == 1 ? 2 : 1;
        std::fill(flags, flags + count, 0);
        flags[column] = state;
        // By id, descending first; the selection follows its items.
        std::vector<int> chosen;
        for (int row : selectedRows())
            chosen.push_back(items[size_t(row)]);
        std::sort(items.begin(), items.end(),
                  [state](int a, int b) { return state == 1 ? a > b : a < b; });
        selection.clear();
        for (int id : chosen)
            selection.push_back(int(std::find(items.begin(), items.end(), id) - items.begin()));
        return true;
    }

    void ToggleItemSelected(int row) override {
        const auto found = std::find(selection.begin(), selection.end(), row);
        if (found != selection.end())
            selection.erase(found);
        else
            selection.push_back(row);
        invalidate();
    }
    void SelectRangeToItem(int row) override {
        if (selection.empty())
            return;
        const int start = selection.back();
        selection.clear();
        appendRun(start, row);
        invalidate();
    }
    void ClearSelection() override {
        selection.clear();
        invalidate();
    }
    void SelectOnly(int row) override {
        selection.clear();
        if (row >= 0)
            selection.push_back(row);
        invalidate();
    }
    bool IsItemSelected(int row) override {
        return std::find(selection.begin(), selection.end(), row) != selection.end();
    }
    void BeginRangeSelection(int row) override {
        anchor = row;
        selection = {row};
        invalidate();
    }
    void ExtendRangeSelection(int row) override {
        if (row == -1)
            return;
        const int last = GetCount() - 1;
        if (!selection.empty() && selection.front() == -1) {
            if (row >= last) {
                selection.front() = row;
                invalidate();
                return;
            }
            selection.front() = last;
        }
        const int start = anchor != -1 ? anchor : selection.front();
        selection.clear();
        appendRun(start, row);
        invalidate();
    }
    void EndRangeSelection() override {}
    void MoveSelectionTo(int row) override {
        if (row != -1 && !IsItemSelected(row) && MoveItemsTo(row, selection))
            invalidate();
    }
    bool MoveItemsTo(int target, const std::vector<int>& chosen) override {
        std::vector<int> order = chosen;
        std::sort(order.begin(), order.end());
        order.erase(std::unique(order.begin(), order.end()), order.end());
        int at = target;
        std::vector<int> block;
        std::vector<int> removed;
        for (int v : order) {
            const int before =
                int(std::count_if(removed.begin(), removed.end(), [v](int r) { return r < v; }));
            if (v < target)
                --at;
            block.push_back(items[size_t(v - before)]);
            items.erase(items.begin() + (v - before));
            removed.push_back(v);
        }
        items.insert(items.begin() + at, block.begin(), block.end());
        selection.clear();
        for (size_t i = 0; i < block.size(); ++i)
            selection.push_back(at + int(i));
        return true;
    }
    std::vector<int> GetSelection() override { return selection; }

    QString GetCellText(int row, int column) override {
        return column == 1 ? name(row) : QString();
    }

    void changed() {
        for (IDataSetObserver* o : observers)
            o->OnChanged();
    }

private:
    QString name(int row) const { return QStringLiteral("img%1").arg(items[size_t(row)]); }
    void appendRun(int from, int to) {
        const int step = to >= from ? 1 : -1;
        for (int r = from;; r += step) {
            selection.push_back(r);
            if (r == to)
                break;
        }
    }
    void invalidate() {
        for (IDataSetObserver* o : observers)
            o->OnInvalidated();
    }
    static void setLabel(QWidget* panel, const char* name, const QString& text) {
        if (auto* label = panel->findChild<QLabel*>(QString::fromLatin1(name)))
            label->setText(text);
    }
};

const char listLayout[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>LIST_WND</class>
 <widget class="QWidget" name="LIST_WND">
  <property name="geometry"><rect><x>0</x><y>0</y><width>1100</width><height>360</height></rect></property>
  <property name="windowTitle"><string>列表</string></property>
  <layout class="QVBoxLayout" name="lay_main">
   <property name="leftMargin"><number>0</number></property>
   <property name="topMargin"><number>0</number></property>
   <property name="rightMargin"><number>0</number></property>
   <property name="bottomMargin"><number>0</number></property>
   <item>
    <widget class="mclistviewex" name="mclv_list">
     <property name="headerHeight" stdset="0"><string>28dp</string></property>
     <property name="itemTemplate" stdset="0"><string>LAYOUT:XML_LISTITEM</string></property>
     <property name="dividerSize" stdset="0"><string>0</string></property>
     <property name="wantTab" stdset="0"><string>0</string></property>
     <property name="canSwapItem" stdset="0"><string>1</string></property>
     <property name="colorSwapLine" stdset="0"><string>#d9412fff</string></property>
     <property name="colorDropBk" stdset="0"><string>#3b82f6ff</string></property>
     <property name="dropBkAlpha" stdset="0"><string>88</string></property>
     <widget class="QWidget" name="mclv_list_header">
      <property name="columnTexts" stdset="0">
       <stringlist>
        <string>序号</string><string>文件名</string><string>路径</string><string>分辨率</string>
        <string>尺寸</string><string>创建时间</string><string>修改时间</string><string>页数</string>
       </stringlist>
      </property>
      <property name="columnWidths" stdset="0"><string>48,180,280,64,110,140,140,56</string></property>
      <property name="columnOrder" stdset="0"><string>0,1,7,2,3,4,5,6</string></property>
     </widget>
    </widget>
   </item>
  </layout>
 </widget>
</ui>
)";

struct ListWindow {
    std::unique_ptr<QWidget> root;
    SMCListViewEx* list = nullptr;
    std::shared_ptr<TestAdapter> adapter;

    QWidget* viewport() const { return list->viewport(); }
    // A point inside a row, `fraction` of the way down it, in viewport coordinates.
    QPoint at(int row, double fraction = 0.5) const {
        const QRect rect = list->GetItemRect(row);
        return {rect.left() + 100, rect.top() + int(rect.height() * fraction)};
    }
    QPoint belowRows() const {
        return {100, list->GetItemRect(adapter->GetCount() - 1).bottom() + 40};
    }
    void click(int row, Qt::KeyboardModifiers modifiers = {}) const {
        QTest::mouseClick(viewport(), Qt::LeftButton, modifiers, at(row));
    }
};

ListWindow openList(int rows) {
    ListWindow w;
    UiLoader loader;
    QByteArray xml(listLayout);
    QBuffer buffer(&xml);
    buffer.open(QIODevice::ReadOnly);
    w.root.reset(loader.loadLayout(&buffer));
    if (!w.root)
        return w;
    w.list = w.root->findChild<SMCListViewEx*>(QStringLiteral("mclv_list"));
    w.root->show();
    QApplication::setActiveWindow(w.root.get());
    if (!QTest::qWaitForWindowActive(w.root.get()))
        w.list = nullptr;
    if (!w.list)
        return w;
    w.adapter = std::make_shared<TestAdapter>(rows);
    w.list->SetAdapter(w.adapter);
    w.list->setFocus();
    QCoreApplication::processEvents();
    return w;
}

std::vector<int> ids(int from, int to) {
    std::vector<int> result;
    for (int i = from; i < to; ++i)
        result.push_back(i);
    return result;
}

} // namespace

class ListViewTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY2(QResource::registerResource(QStringLiteral(FOLIMO_UIRES_PATH)),
                 "the interface package " FOLIMO_UIRES_PATH " cannot be registered");
        registerProgramControls();
    }

    void layoutGivesHeaderAndAttributes() {
        ListWindow w = openList(3);
        QVERIFY(w.list);
        QCOMPARE(w.list->property("folimoClass").toString(), QStringLiteral("mclistviewex"));
        QHeaderView* header = w.list->GetHeader();
        QCOMPARE(header->objectName(), QStringLiteral("mclv_list_header"));
        QCOMPARE(header->count(), 8);
        QCOMPARE(header->model()->headerData(2, Qt::Horizontal).toString(), QStringLiteral("路径"));
        QCOMPARE(header->visualIndex(7), 2); // the pages beside the name
        QCOMPARE(header->sectionSize(2), 280);
        QCOMPARE(header->height(), GetLayoutSize("28dp"));
        QCOMPARE(w.list->GetItemRect(1).height(), GetLayoutSize("44dp"));
        QCOMPARE(w.list->colorDropBk(), qRgba(0x3b, 0x82, 0xf6, 0xff));
        QCOMPARE(w.list->focusPolicy(), Qt::StrongFocus);
    }

    void attributes_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("colour in toolkit order") << "colorSwapLine"
                                                 << "0xFF0000FF" << qint64(qRgba(0xFF, 0, 0, 0xFF));
        QTest::newRow("colour as decimal") << "colorSwapLine"
                                           << "4278190335" << qint64(qRgba(0xFF, 0, 0, 0xFF));
        QTest::newRow("colour written out") << "colorDropBk"
                                            << "#10203040" << qint64(qRgba(0x10, 0x20, 0x30, 0x40));
        QTest::newRow("empty colour refused") << "colorSwapLine"
                                              << "" << qint64(0xFF000000);
        QTest::newRow("unreadable colour refused") << "colorDropBk"
                                                   << "reddish" << qint64(qRgba(0, 0, 0xFF, 0));
        QTest::newRow("hex integer") << "dropBkAlpha"
                                     << "0x40" << qint64(64);
        QTest::newRow("not a number is 0") << "dropBkAlpha"
                                           << "abc" << qint64(0);
        QTest::newRow("alpha kept in range") << "dropBkAlpha"
                                             << "300" << qint64(255);
        QTest::newRow("true is off") << "wantTab"
                                     << "true" << qint64(0);
        QTest::newRow("hex flag on") << "wantTab"
                                     << "0x10" << qint64(1);
        QTest::newRow("swapping off") << "canSwapItem"
                                      << "0" << qint64(0);
        QTest::newRow("name in any case") << "DROPBKALPHA"
                                          << "12" << qint64(12);
        QTest::newRow("divider in pixels") << "dividerSize"
                                           << "3" << qint64(3);
        QTest::newRow("header in pixels") << "headerHeight"
                                          << "40px" << qint64(40);
    }

    void attributes() {
        QFETCH(QString, name);
        QFETCH(QString, value);
        QFETCH(qint64, expected);
        SMCListViewEx list; // defaults: black line, transparent blue band, alpha 88, swap on
        list.setProperty(name.toLatin1(), value);
        const QString key = name.toLower();
        qint64 actual = -1;
        if (key == "colorswapline")
            actual = list.colorSwapLine();
        else if (key == "colordropbk")
            actual = list.colorDropBk();
        else if (key == "dropbkalpha")
            actual = list.dropBkAlpha();
        else if (key == "wanttab")
            actual = list.wantTab();
        else if (key == "canswapitem")
            actual = list.canSwapItem();
        else if (key == "dividersize")
            actual = list.dividerSize();
        else if (key == "headerheight")
            actual = list.headerHeight();
        QCOMPARE(actual, expected);
    }

    void mouseSelection_data() {
        QTest::addColumn<Clicks>("clicks");
        QTest::addColumn<Rows>("selected");
        QTest::addColumn<int>("current");
        const int ctrl = Qt::ControlModifier;
        const int shift = Qt::ShiftModifier;
        QTest::newRow("click") << Clicks{{3, 0}} << Rows{3} << 3;
        QTest::newRow("ctrl+click adds") << Clicks{{1, 0}, {4, ctrl}} << Rows{1, 4} << 1;
        QTest::newRow("ctrl+click removes") << Clicks{{1, 0}, {4, ctrl}, {1, ctrl}} << Rows{4} << 1;
        QTest::newRow("shift+click down") << Clicks{{1, 0}, {4, shift}} << Rows{1, 2, 3, 4} << 1;
        QTest::newRow("shift+click up") << Clicks{{4, 0}, {2, shift}} << Rows{4, 3, 2} << 4;
        QTest::newRow("shift+click, nothing selected") << Clicks{{3, shift}} << Rows{} << -1;
        QTest::newRow("click on a selected row, no drag")
            << Clicks{{1, 0}, {3, ctrl}, {3, 0}} << Rows{3} << 3;
        QTest::newRow("click on empty space") << Clicks{{2, 0}, {-1, 0}} << Rows{} << -1;
    }

    void mouseSelection() {
        QFETCH(Clicks, clicks);
        QFETCH(Rows, selected);
        QFETCH(int, current);
        ListWindow w = openList(6);
        QVERIFY(w.list);
        for (const auto& [row, modifiers] : clicks) {
            const QPoint where = row < 0 ? w.belowRows() : w.at(row);
            QTest::mouseClick(w.viewport(), Qt::LeftButton, Qt::KeyboardModifiers(modifiers),
                              where);
        }
        QCOMPARE(w.adapter->selectedRows(), selected);
        QCOMPARE(w.list->GetSel(), current);
    }

    void bandSelection_data() {
        QTest::addColumn<int>("from"); // -1: the empty space below the rows
        QTest::addColumn<int>("to");
        QTest::addColumn<Rows>("selected");
        QTest::newRow("from a row downwards") << 1 << 3 << Rows{1, 2, 3};
        QTest::newRow("from a row upwards") << 4 << 2 << Rows{4, 3, 2};
        QTest::newRow("from below the rows upwards") << -1 << 2 << Rows{5, 4, 3, 2};
        QTest::newRow("from below the rows to the last") << -1 << 5 << Rows{5};
    }

    void bandSelection() {
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(Rows, selected);
        ListWindow w = openList(6);
        QVERIFY(w.list);
        const QPoint start = from < 0 ? w.belowRows() : w.at(from);
        QTest::mousePress(w.viewport(), Qt::LeftButton, {}, start);
        QVERIFY(w.list->isBandSelecting());
        QTest::mouseMove(w.viewport(), (start + w.at(to)) / 2);
        QTest::mouseMove(w.viewport(), w.at(to));
        QCOMPARE(w.adapter->selectedRows(), selected);
        QTest::mouseRelease(w.viewport(), Qt::LeftButton, {}, w.at(to));
        QVERIFY(!w.list->isBandSelecting());
        QCOMPARE(w.adapter->selectedRows(), selected);
    }

    void bandHeldBelowScrollsAndExtends() {
        ListWindow w = openList(200);
        QVERIFY(w.list);
        QScrollBar* bar = w.list->verticalScrollBar();
        QTest::mousePress(w.viewport(), Qt::LeftButton, {}, w.at(2));
        QTest::mouseMove(w.viewport(), QPoint(100, w.viewport()->height() + 20));
        QTRY_VERIFY(bar->value() >= 3 * GetLayoutSize("44dp"));
        const int last = w.list->GetFirstVisibleRow() + w.list->GetVisibleRowCount() - 1;
        QCOMPARE(w.adapter->selectedRows(), ids(2, last + 1));
        QTest::mouseRelease(w.viewport(), Qt::LeftButton, {},
                            QPoint(100, w.viewport()->height() + 20));
        const int stopped = bar->value();
        QTest::qWait(50);
        QCOMPARE(bar->value(), stopped);
    }

    void bandEndsWhenFocusIsLost() {
        ListWindow w = openList(6);
        QVERIFY(w.list);
        QTest::mousePress(w.viewport(), Qt::LeftButton, {}, w.at(1));
        QVERIFY(w.list->isBandSelecting());
        w.list->clearFocus();
        QVERIFY(!w.list->isBandSelecting());
    }

    void moveDrag_data() {
        QTest::addColumn<int>("dropRow"); // -1: below the rows
        QTest::addColumn<double>("fraction");
        QTest::addColumn<std::vector<int>>("order");
        QTest::addColumn<Rows>("selected");
        // Rows 1 and 2 are selected and dragged by row 1.
        QTest::newRow("above the middle of a row")
            << 4 << 0.25 << std::vector<int>{0, 3, 1, 2, 4, 5} << Rows{2, 3};
        QTest::newRow("below the middle of a row")
            << 4 << 0.75 << std::vector<int>{0, 3, 4, 1, 2, 5} << Rows{3, 4};
        QTest::newRow("below the middle of the last row")
            << 5 << 0.75 << std::vector<int>{0, 3, 4, 5, 1, 2} << Rows{4, 5};
        QTest::newRow("above the first row")
            << 0 << 0.25 << std::vector<int>{1, 2, 0, 3, 4, 5} << Rows{0, 1};
        QTest::newRow("on a selected row") << 2 << 0.75 << ids(0, 6) << Rows{1, 2};
        QTest::newRow("where there is no row") << -1 << 0.5 << ids(0, 6) << Rows{1, 2};
    }

    void moveDrag() {
        QFETCH(int, dropRow);
        QFETCH(double, fraction);
        QFETCH(std::vector<int>, order);
        QFETCH(Rows, selected);
        ListWindow w = openList(6);
        QVERIFY(w.list);
        w.click(1);
        w.click(2, Qt::ControlModifier);
        QCOMPARE(w.adapter->selectedRows(), (Rows{1, 2}));
        const QPoint drop = dropRow < 0 ? w.belowRows() : w.at(dropRow, fraction);
        QTest::mousePress(w.viewport(), Qt::LeftButton, {}, w.at(1));
        QVERIFY(w.list->isMoveDragging());
        QCOMPARE(w.adapter->selectedRows(), (Rows{1, 2})); // pressing keeps the selection
        QTest::mouseMove(w.viewport(), (w.at(1) + drop) / 2);
        QTest::mouseMove(w.viewport(), drop);
        QTest::mouseRelease(w.viewport(), Qt::LeftButton, {}, drop);
        QVERIFY(!w.list->isMoveDragging());
        QCOMPARE(w.adapter->items, order);
        QCOMPARE(w.adapter->selectedRows(), selected);
    }

    void keyboard_data() {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("current");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("expected");
        QTest::newRow("down from none") << 6 << -1 << int(Qt::Key_Down) << 0;
        QTest::newRow("down") << 6 << 3 << int(Qt::Key_Down) << 4;
        QTest::newRow("down on the last row") << 6 << 5 << int(Qt::Key_Down) << 5;
        QTest::newRow("up on row 0") << 6 << 0 << int(Qt::Key_Up) << 0;
        QTest::newRow("up from none") << 6 << -1 << int(Qt::Key_Up) << -1;
        QTest::newRow("up") << 6 << 3 << int(Qt::Key_Up) << 2;
        QTest::newRow("end") << 500 << 0 << int(Qt::Key_End) << 499;
        QTest::newRow("home") << 500 << 250 << int(Qt::Key_Home) << 0;
        QTest::newRow("down in an empty list") << 0 << -1 << int(Qt::Key_Down) << -1;
    }

    void keyboard() {
        QFETCH(int, rows);
        QFETCH(int, current);
        QFETCH(int, key);
        QFETCH(int, expected);
        ListWindow w = openList(rows);
        QVERIFY(w.list);
        w.list->EnsureVisible(current);
        w.list->SetSel(current);
        QTest::keyClick(w.list, Qt::Key(key));
        QCOMPARE(w.list->GetSel(), expected);
        QCOMPARE(w.adapter->selectedRows(), expected < 0 ? Rows{} : Rows{expected});
        if (expected >= 0)
            QVERIFY(w.viewport()->rect().contains(w.list->GetItemRect(expected)));
    }

    void pageDownMakesTheLastRowInViewCurrent() {
        ListWindow w = openList(500);
        QVERIFY(w.list);
        w.list->SetSel(0);
        QTest::keyClick(w.list, Qt::Key_PageDown);
        const int row = w.list->GetSel();
        QVERIFY(row > 1);
        QVERIFY(w.list->verticalScrollBar()->value() > 0);
        QVERIFY(w.viewport()->rect().contains(w.list->GetItemRect(row)));
        QVERIFY(!w.viewport()->rect().contains(w.list->GetItemRect(row + 1)));
    }

    void escapeAndEnterGoToTheOwner() {
        ListWindow w = openList(3);
        QVERIFY(w.list);
        QSignalSpy spy(w.list, &SMCListViewEx::keyForOwner);
        QTest::keyClick(w.list, Qt::Key_Escape);
        QTest::keyClick(w.list, Qt::Key_Return);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy[0][0].toInt(), int(Qt::Key_Escape));
        QCOMPARE(spy[1][0].toInt(), int(Qt::Key_Return));
    }

    void selectionEvents() {
        ListWindow w = openList(6);
        QVERIFY(w.list);
        QStringList seen;
        QObject::connect(w.list, &SMCListViewEx::selectionChanging,
                         [&seen](int from, int to, bool*) {
                             seen << QStringLiteral("changing %1 %2").arg(from).arg(to);
                         });
        QObject::connect(w.list, &SMCListViewEx::selectionChanged, [&seen](int from, int to) {
            seen << QStringLiteral("changed %1 %2").arg(from).arg(to);
        });
        w.list->SetSel(2, true);
        w.list->SetSel(2, true);
        QCOMPARE(seen, (QStringList{"changing -1 2", "changed -1 2", "changing 2 2"}));
    }

    void cancelledChangingKeepsRowAndSelection() {
        ListWindow w = openList(6);
        QVERIFY(w.list);
        w.click(2);
        w.click(4, Qt::ControlModifier);
        QObject::connect(w.list, &SMCListViewEx::selectionChanging,
                         [](int, int, bool* cancel) { *cancel = true; });
        QSignalSpy changed(w.list, &SMCListViewEx::selectionChanged);
        QTest::keyClick(w.list, Qt::Key_Down);
        QCOMPARE(w.list->GetSel(), 2);
        QCOMPARE(w.adapter->selectedRows(), (Rows{2, 4}));
        QCOMPARE(changed.count(), 0);
    }

    // The menu a right press opens acts on the selection it was opened over.
    void rightPress_data() {
        QTest::addColumn<int>("row"); // -1: below the rows
        QTest::addColumn<int>("current");
        QTest::addColumn<Rows>("selected");
        QTest::newRow("selected, not current") << 4 << 2 << Rows{2, 4};
        QTest::newRow("current") << 2 << 2 << Rows{2, 4};
        QTest::newRow("unselected") << 5 << 5 << Rows{5};
        QTest::newRow("empty space") << -1 << -1 << Rows{};
    }

    void rightPress() {
        QFETCH(int, row);
        ListWindow w = openList(6);
        QVERIFY(w.list);
        w.click(2);
        w.click(4, Qt::ControlModifier);
        QTest::mouseClick(w.viewport(), Qt::RightButton, {}, row < 0 ? w.belowRows() : w.at(row));
        QTEST(w.list->GetSel(), "current");
        QTEST(w.adapter->selectedRows(), "selected");
    }

    void sortKeepsTheCurrentRowOnItsItem() {
        ListWindow w = openList(6);
        QVERIFY(w.list);
        w.click(1);
        QSignalSpy changed(w.list, &SMCListViewEx::selectionChanged);
        QHeaderView* header = w.list->GetHeader();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(1) + 10, header->height() / 2));
        QCOMPARE(w.list->GetSel(), 4); // descending: img1 is now fifth
        QCOMPARE(w.adapter->selectedRows(), (Rows{4}));
        QCOMPARE(w.list->GetCellText(w.list->GetSel(), 1), QStringLiteral("img1"));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed[0], (QVariantList{1, 4}));
    }

    // The focus shows on the list before any row is current, on the first row in view.
    void focusIsVisibleWithoutACurrentRow() {
        ListWindow w = openList(6);
        QVERIFY(w.list);
        QVERIFY(w.list->hasFocus());
        QCOMPARE(w.list->GetSel(), -1);
        const QColor focus = w.list->palette().color(QPalette::Highlight);
        const auto focusPixelsOnRow0 = [&] {
            const QImage shot = w.viewport()->grab().toImage();
            const QRect row = w.list->GetItemRect(0);
            int found = 0;
            for (int x = row.left(); x < std::min(row.right(), shot.width()); ++x)
                found += shot.pixelColor(x, row.top()) == focus ? 1 : 0;
            return found;
        };
        QVERIFY(focusPixelsOnRow0() > 10);
        w.list->clearFocus();
        QCOMPARE(focusPixelsOnRow0(), 0);
    }

    void columnsFollowTheHeader() {
        ListWindow w = openList(8);
        QVERIFY(w.list);
        QHeaderView* header = w.list->GetHeader();
        header->moveSection(0, 3);     // the number column now after the name, pages and path
        header->resizeSection(2, 400); // the path column wider
        QVERIFY(w.list->GetVisibleRowCount() == 8);
        for (int row = 0; row < 8; ++row) {
            McItemPanel* panel = w.list->GetItemPanel(row);
            QVERIFY(panel);
            QCOMPARE(panel->width(), header->length());
            for (int column = 0; column < 8; ++column) {
                auto* cell = panel->findChild<QWidget*>(QStringLiteral("col%1").arg(column + 1));
                QVERIFY(cell);
                QCOMPARE(cell->x(), header->sectionPosition(column));
                QCOMPARE(cell->width(), header->sectionSize(column));
            }
        }
        QCOMPARE(w.list->GetItemPanel(0)->findChild<QWidget*>("col1")->x(), 180 + 56 + 400);
    }

    void headerClickSortsByCreationIndex() {
        ListWindow w = openList(4);
        QVERIFY(w.list);
        QHeaderView* header = w.list->GetHeader();
        header->moveSection(0, 3);
        QSignalSpy windowSaw(header, &QHeaderView::sectionClicked);
        const auto clickColumn = [&](int logical) {
            QTest::mouseClick(
                header->viewport(), Qt::LeftButton, {},
                QPoint(header->sectionViewportPosition(logical) + 10, header->height() / 2));
        };
        clickColumn(1); // shown first
        clickColumn(1);
        clickColumn(0); // the number column does not sort
        QCOMPARE(w.adapter->sortedColumns, (std::vector<int>{1, 1, 0}));
        QCOMPARE(windowSaw.count(), 3);
        QCOMPARE(header->sortIndicatorSection(), 1);
        QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
        // A row dragged elsewhere puts the rows in an order of the person's own: the
        // header no longer says they are sorted.
        w.click(0);
        QTest::mousePress(w.viewport(), Qt::LeftButton, {}, w.at(0));
        QTest::mouseMove(w.viewport(), w.at(2));
        QTest::mouseMove(w.viewport(), w.at(3, 0.75));
        QTest::mouseRelease(w.viewport(), Qt::LeftButton, {}, w.at(3, 0.75));
        QCOMPARE(header->sortIndicatorSection(), -1);
    }

    void onlyRowsInViewHavePanels() {
        ListWindow w = openList(100000);
        QVERIFY(w.list);
        const int rowHeight = GetLayoutSize("44dp");
        // A row cut at the top and one at the bottom.
        const int inView = (w.viewport()->height() + rowHeight - 1) / rowHeight + 1;
        QVERIFY(w.list->GetVisibleRowCount() <= inView);
        QScrollBar* bar = w.list->verticalScrollBar();
        QCOMPARE(bar->maximum(), 100000 * rowHeight - w.viewport()->height());
        QElapsedTimer clock;
        clock.start();
        for (int step = 0; step < 200; ++step) {
            const int calls = w.adapter->viewCalls;
            bar->setValue(bar->value() + 250 * bar->pageStep() / 100 + 7);
            QVERIFY(w.adapter->viewCalls - calls <= inView);
        }
        QVERIFY2(clock.elapsed() < 5000, "scrolling a long list is slow");
        QVERIFY(w.list->GetFirstVisibleRow() > 1000);
        QVERIFY(w.list->GetPanelCount() <= inView + 1);
        const int first = w.list->GetFirstVisibleRow();
        QCOMPARE(w.list->GetCellText(first, 1), QStringLiteral("img%1").arg(first));

        // One row's data changed: that row alone is filled again.
        const int calls = w.adapter->viewCalls;
        w.adapter->observers.front()->OnItemChanged(first + 1);
        QCOMPARE(w.adapter->viewCalls, calls + 1);
        w.adapter->observers.front()->OnItemChanged(0); // out of view
        QCOMPARE(w.adapter->viewCalls, calls + 1);
    }

    void rowsWithoutAFixedHeightTakeTheHeightTheyAsk_data() {
        QTest::addColumn<QString>("divider");
        QTest::newRow("no divider") << "0";
        QTest::newRow("divider") << "2";
    }

    void rowsWithoutAFixedHeightTakeTheHeightTheyAsk() {
        QFETCH(QString, divider);
        const int gap = divider.toInt();
        SMCListViewEx list; // no template: heights are measured
        list.setProperty("dividerSize", divider);
        list.InsertColumn(0, "a", 100);
        list.resize(300, 200);
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        auto adapter = std::make_shared<TestAdapter>(50);
        adapter->heightOf = [](int row) { return 20 + (row % 3) * 10; };
        list.SetAdapter(adapter);
        QCOMPARE(list.GetItemRect(1).height(), 30);
        QCOMPARE(list.GetItemRect(3).top(), 20 + 30 + 40 + 3 * gap);
        QCOMPARE(list.GetItemPanel(2)->height(), 40);
        // Rows not yet measured count as 30dp until they come into view.
        const int measured = list.GetVisibleRowCount();
        const int expectedTotal = [&] {
            int total = 0;
            for (int row = 0; row < 50; ++row)
                total += (row < measured ? 20 + (row % 3) * 10 : GetLayoutSize("30dp")) + gap;
            return total;
        }();
        QCOMPARE(list.verticalScrollBar()->maximum(), expectedTotal - list.viewport()->height());

        adapter->heightOf = [](int) { return 50; };
        adapter->observers.front()->OnItemChanged(0);
        QCOMPARE(list.GetItemRect(1).top(), 50 + gap);
        QCOMPARE(list.GetItemPanel(1)->y(), 50 + gap);
    }

    void accessibleTable() {
        ListWindow w = openList(1000);
        QVERIFY(w.list);
        w.click(2);
        w.click(4, Qt::ControlModifier);
        QAccessibleInterface* table = QAccessible::queryAccessibleInterface(w.list);
        QVERIFY(table);
        QCOMPARE(table->role(), QAccessible::Table);
        QCOMPARE(table->text(QAccessible::Name), QStringLiteral("图片列表"));
        QAccessibleTableInterface* cells = table->tableInterface();
        QVERIFY(cells);
        QCOMPARE(cells->rowCount(), 1000);
        QCOMPARE(cells->columnCount(), 8);
        QCOMPARE(cells->columnDescription(1), QStringLiteral("文件名"));
        QCOMPARE(cells->columnDescription(2), QStringLiteral("页数")); // as shown
        QCOMPARE(cells->cellAt(3, 1)->text(QAccessible::Name), QStringLiteral("img3"));
        QCOMPARE(cells->cellAt(3, 0)->text(QAccessible::Name), QStringLiteral("4"));
        QCOMPARE(cells->cellAt(900, 1)->text(QAccessible::Name), QStringLiteral("img900"));
        QCOMPARE(cells->selectedRows(), (QList<int>{2, 4}));
        QVERIFY(cells->isRowSelected(4));
        QVERIFY(cells->cellAt(4, 2)->tableCellInterface()->isSelected());
        QVERIFY(!cells->cellAt(3, 2)->state().selected);
        QCOMPARE(cells->cellAt(5, 6)->tableCellInterface()->rowIndex(), 5);
        // Each cell names its column's title as its header, as screen readers ask.
        const QList<QAccessibleInterface*> headers =
            cells->cellAt(7, 1)->tableCellInterface()->columnHeaderCells();
        QCOMPARE(headers.size(), 1);
        QCOMPARE(headers[0]->role(), QAccessible::ColumnHeader);
        QCOMPARE(headers[0]->text(QAccessible::Name), QStringLiteral("文件名"));
        QVERIFY(!headers[0]->rect().isEmpty());

        w.list->setAccessibleName(QStringLiteral("待转换的图片"));
        QCOMPARE(table->text(QAccessible::Name), QStringLiteral("待转换的图片"));
    }
};

QTEST_MAIN(ListViewTest)
#include "tst_listview.moc"
