// The interface package as windows use it: layouts built into windows with their controls
// bound by name, the program's own control classes, menus with their command numbers, and
// the package's strings, colours and sizes. Every layout and menu here is written by the
// test itself.

#include "Menus.h"
#include "ProgramControls.h"
#include "Resources.h"
#include "UiLoader.h"

#include <QAbstractButton>
#include <QAction>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

using namespace folimo::ui;

namespace {

// A control three levels down, two controls of one name at different depths, a tab
// widget, and each of the program's own controls.
const char windowLayout[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>TEST_WND</class>
 <widget class="QDialog" name="TEST_WND">
  <property name="geometry"><rect><x>0</x><y>0</y><width>420</width><height>300</height></rect></property>
  <property name="windowTitle"><string>测试窗口</string></property>
  <layout class="QVBoxLayout" name="lay_main">
   <item>
    <widget class="QFrame" name="wnd_outer">
     <layout class="QVBoxLayout" name="lay_outer">
      <item>
       <widget class="QGroupBox" name="grp_inner">
        <layout class="QHBoxLayout" name="lay_inner">
         <item><widget class="QPushButton" name="btn_deep"><property name="text"><string>deep</string></property></widget></item>
         <item><widget class="QLineEdit" name="edit_name"/></item>
         <item><widget class="QLabel" name="txt_twice"><property name="text"><string>inner</string></property></widget></item>
        </layout>
       </widget>
      </item>
     </layout>
    </widget>
   </item>
   <item><widget class="QLabel" name="txt_twice"><property name="text"><string>outer</string></property></widget></item>
   <item>
    <widget class="QTabWidget" name="tab_view">
     <widget class="QWidget" name="page_a"><attribute name="title"><string>A</string></attribute></widget>
     <widget class="QWidget" name="page_b"><attribute name="title"><string>B</string></attribute></widget>
     <widget class="QWidget" name="page_c"><attribute name="title"><string>C</string></attribute></widget>
    </widget>
   </item>
   <item>
    <widget class="mclistviewex" name="mclv_list">
     <property name="contextMenuPolicy"><enum>Qt::CustomContextMenu</enum></property>
    </widget>
   </item>
   <item><widget class="imgex" name="img_preview"/></item>
   <item><widget class="iectrl" name="top_ie_ad"/></item>
   <item><widget class="wkeWebkit" name="wnd_right_ad"/></item>
  </layout>
 </widget>
 <resources/>
 <connections/>
</ui>
)";

const char menuFile[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<menu>
  <item id="101" text="添加文件" icon="ICON"/>
  <sep/>
  <item id="102" check="1">勾选</item>
  <item id="103" text="禁用" disable="1"/>
  <menu text="子菜单">
    <item id="201" text="子项"/>
    <menu text="更深"><item id="301" text="最深"/></menu>
  </menu>
</menu>
)";

const char stringsFile[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<strings>
  <string name="title">生成PDF</string>
  <string name="empty"></string>
</strings>
)";

const char colorsFile[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<colors>
  <color name="accent" value="#d9412fff"/>
  <color name="half_red" value="#ff000080"/>
  <color name="broken" value="red"/>
</colors>
)";

} // namespace

class ToolkitTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void windowsTakeTheirLayoutAndBindTheirControls();
    void programControlsAreClassesOfTheirOwn();
    void menusCarryTheirCommandNumbers();
    void brokenMenusAreRefused();
    void layoutSizes_data();
    void layoutSizes();
    void stringsAndColors();

private:
    QString path(const QString& name) const { return dir_.filePath(name); }
    bool write(const QString& name, const QByteArray& bytes) const;

    QTemporaryDir dir_;
    QString layout_;
};

bool ToolkitTest::write(const QString& name, const QByteArray& bytes) const {
    QFile file(path(name));
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

void ToolkitTest::initTestCase() {
    QVERIFY(dir_.isValid());
    registerProgramControls();
    layout_ = path("window.ui");
    QVERIFY(write("window.ui", windowLayout));
    QImage icon(8, 8, QImage::Format_ARGB32);
    icon.fill(Qt::red);
    QVERIFY(icon.save(path("icon.png")));
    QVERIFY(write("menu.xml", QByteArray(menuFile).replace("ICON", path("icon.png").toUtf8())));
    QVERIFY(write("strings.xml", stringsFile));
    QVERIFY(write("colors.xml", colorsFile));
}

void ToolkitTest::windowsTakeTheirLayoutAndBindTheirControls() {
    QWidget window;
    QWidget* root = buildLayoutInto(&window, layout_);
    QCOMPARE(window.windowTitle(), QString("测试窗口"));
    QCOMPARE(window.size(), QSize(420, 300));
    QCOMPARE(root->objectName(), QString("TEST_WND"));
    QCOMPARE(root->parentWidget(), &window);

    // Any depth, pages inside a tab widget's own stack too, and a base class will do.
    auto* deep = bindControl<QPushButton>(root, "btn_deep");
    QCOMPARE(deep->parentWidget()->objectName(), QString("grp_inner"));
    QVERIFY(bindControl<QAbstractButton>(root, "btn_deep"));
    QVERIFY(bindControl<QWidget>(root, "page_c"));
    QVERIFY(bindControl<SMCListViewEx>(root, "mclv_list"));

    // A name the layout lacks, or one of another class, fails the window's construction
    // and says which; the program's own controls go by their layout class.
    const struct {
        std::function<void()> bind;
        const char* message;
    } misses[] = {
        {[root] { bindControl<QPushButton>(root, "btn_absent"); },
         "no window of class [QPushButton] with name of [btn_absent] is in the layout"},
        {[root] { bindControl<QLineEdit>(root, "btn_deep"); },
         "no window of class [QLineEdit] with name of [btn_deep] is in the layout"},
        {[root] { bindControl<SMCListViewEx>(root, "btn_deep"); },
         "no window of class [mclistviewex] with name of [btn_deep] is in the layout"},
    };
    for (const auto& miss : misses) {
        try {
            miss.bind();
            QFAIL(miss.message);
        } catch (const LayoutError& error) {
            QCOMPARE(QString::fromUtf8(error.what()), QString::fromLatin1(miss.message));
        }
    }

    // Layouts that cannot be built: by resource name, damaged, absent.
    QVERIFY(write("broken.ui", "<ui version=\"4.0\"><widget class=\"QWidget\""));
    const struct {
        QString layout;
        const char* mentions;
    } broken[] = {
        {"LAYOUT:TEST_WND_NOT_REGISTERED", ":/layout/TEST_WND_NOT_REGISTERED.ui"},
        {path("broken.ui"), "broken.ui"},
        {path("absent.ui"), "absent.ui"},
    };
    for (const auto& layout : broken) {
        QWidget other;
        try {
            buildLayoutInto(&other, layout.layout);
            QFAIL(qPrintable(layout.layout));
        } catch (const LayoutError& error) {
            QVERIFY2(QString::fromUtf8(error.what()).contains(layout.mentions), error.what());
        }
    }
}

void ToolkitTest::programControlsAreClassesOfTheirOwn() {
    UiLoader loader;
    std::unique_ptr<QWidget> root(loader.loadLayout(layout_));
    QVERIFY(root);
    const struct {
        const char* name;
        const char* layoutClass;
        QWidget* control;
    } controls[] = {
        {"mclv_list", "mclistviewex", bindControl<SMCListViewEx>(root.get(), "mclv_list")},
        {"img_preview", "imgex", bindControl<SImageWndEx>(root.get(), "img_preview")},
        {"top_ie_ad", "iectrl", bindControl<SIECtrl>(root.get(), "top_ie_ad")},
        {"wnd_right_ad", "wkeWebkit", bindControl<SWkeWebkit>(root.get(), "wnd_right_ad")},
    };
    for (const auto& control : controls) {
        QVERIFY2(control.control, control.name);
        QCOMPARE(control.control->objectName(), QString(control.name));
        QCOMPARE(control.control->property("folimoClass").toString(), QString(control.layoutClass));
    }
}

void ToolkitTest::menusCarryTheirCommandNumbers() {
    QString error;
    std::unique_ptr<QMenu> menu = LoadMenu(path("menu.xml"), {}, &error);
    QVERIFY2(menu, qPrintable(error));
    const QList<QAction*> items = menu->actions();
    QCOMPARE(items.size(), 5);

    QCOMPARE(items[0]->text(), QString("添加文件"));
    QCOMPARE(items[0]->data().toInt(), 101);
    QVERIFY(!items[0]->icon().isNull());
    QVERIFY(items[0]->isEnabled());
    QVERIFY(!items[0]->isCheckable());
    QVERIFY(items[1]->isSeparator());
    QCOMPARE(items[2]->text(), QString("勾选")); // text from the element
    QCOMPARE(items[2]->data().toInt(), 102);
    QVERIFY(items[2]->isChecked());
    QCOMPARE(items[3]->data().toInt(), 103);
    QVERIFY(!items[3]->isEnabled());

    QMenu* sub = items[4]->menu();
    QVERIFY(sub);
    QCOMPARE(items[4]->text(), QString("子菜单"));
    QCOMPARE(items[4]->data().toInt(), 0);
    QCOMPARE(sub->actions().size(), 2);
    QCOMPARE(sub->actions()[0]->data().toInt(), 201);
    QMenu* deeper = sub->actions()[1]->menu();
    QVERIFY(deeper);
    QCOMPARE(deeper->actions().value(0)->data().toInt(), 301);

    // A window's own actions stand in for the items of their numbers, taking the item's
    // text and icon; the other items stay the menu's own.
    QAction add(nullptr);
    QAction deepest(nullptr);
    const std::unique_ptr<QMenu> bound =
        LoadMenu(path("menu.xml"), {{101, &add}, {301, &deepest}, {999, nullptr}});
    QVERIFY(bound);
    QCOMPARE(bound->actions().first(), &add);
    QCOMPARE(add.text(), QString("添加文件"));
    QVERIFY(!add.icon().isNull());
    QCOMPARE(bound->actions()[4]->menu()->actions()[1]->menu()->actions().value(0), &deepest);
    QCOMPARE(bound->actions()[2]->data().toInt(), 102);

    // A menu by resource name reads the package's folder of that kind.
    QVERIFY(!LoadMenu("SMENU:NO_SUCH_MENU", {}, &error));
    QVERIFY2(error.contains(":/smenu/NO_SUCH_MENU.xml"), qPrintable(error));
}

void ToolkitTest::brokenMenusAreRefused() {
    QString error;
    QVERIFY(write("cut.xml", "<menu><item id=\"1\" text=\"a\"/><item"));
    QVERIFY(!LoadMenu(path("cut.xml"), {}, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(write("other.xml", "<strings/>"));
    QVERIFY(!LoadMenu(path("other.xml"), {}, &error));
    QVERIFY(!LoadMenu(path("absent.xml"), {}, &error));
}

void ToolkitTest::layoutSizes_data() {
    QTest::addColumn<QString>("size");
    QTest::addColumn<qreal>("dpi");
    QTest::addColumn<int>("pixels");
    QTest::addColumn<bool>("valid");
    QTest::newRow("dp at 96") << "30dp" << 96.0 << 30 << true;
    QTest::newRow("dp at 144") << "30dp" << 144.0 << 45 << true;
    QTest::newRow("dip at 192") << "30dip" << 192.0 << 60 << true;
    QTest::newRow("sp at 120") << "8sp" << 120.0 << 10 << true;
    QTest::newRow("fraction rounds") << "1.5dp" << 96.0 << 2 << true;
    QTest::newRow("negative") << "-4dp" << 144.0 << -6 << true;
    QTest::newRow("px ignores dpi") << "30px" << 144.0 << 30 << true;
    QTest::newRow("bare number is px") << "30" << 144.0 << 30 << true;
    QTest::newRow("blanks around") << " 12 dp " << 96.0 << 12 << true;
    QTest::newRow("upper case unit") << "10DP" << 192.0 << 20 << true;
    QTest::newRow("empty") << "" << 96.0 << 0 << false;
    QTest::newRow("unit only") << "dp" << 96.0 << 0 << false;
    QTest::newRow("unknown unit") << "30em" << 96.0 << 0 << false;
    QTest::newRow("split number") << "3 0dp" << 96.0 << 0 << false;
}

void ToolkitTest::layoutSizes() {
    QFETCH(QString, size);
    QFETCH(qreal, dpi);
    QFETCH(int, pixels);
    QFETCH(bool, valid);
    bool ok = !valid;
    QCOMPARE(GetLayoutSize(size, dpi, &ok), pixels);
    QCOMPARE(ok, valid);
    // Without a DPI the screen's logical DPI counts.
    const qreal screenDpi = QGuiApplication::primaryScreen()->logicalDotsPerInch();
    QCOMPARE(GetLayoutSize(size), GetLayoutSize(size, screenDpi));
}

void ToolkitTest::stringsAndColors() {
    QVERIFY(LoadStringTable(path("strings.xml")));
    QVERIFY(LoadColorTable(path("colors.xml")));
    QVERIFY(!LoadStringTable(path("absent.xml")));

    bool found = false;
    QCOMPARE(GetString("title", &found), QString("生成PDF"));
    QVERIFY(found);
    QCOMPARE(GetString("@string/title"), QString("生成PDF"));
    QCOMPARE(GetString("empty", &found), QString());
    QVERIFY(found);
    QCOMPARE(GetString("missing", &found), QString("missing"));
    QVERIFY(!found);

    const struct {
        const char* value;
        QRgb argb;
        bool ok;
    } colors[] = {
        {"accent", 0xFFD9412F, true},
        {"@color/half_red", 0x80FF0000, true},
        {"#00ff00", 0xFF00FF00, true},
        {"#11223344", 0x44112233, true},
        {"rgb(1, 2, 3)", 0xFF010203, true},
        {"rgba(1,2,3,4)", 0x04010203, true},
        {"broken", 0, false},
        {"missing", 0, false},
        {"#12345", 0, false},
        {"rgb(1,2,300)", 0, false},
        {"rgb(1,2,3,4)", 0, false},
    };
    for (const auto& color : colors) {
        bool ok = !color.ok;
        QCOMPARE(GetColor(color.value, &ok), color.argb);
        QVERIFY2(ok == color.ok, color.value);
    }
    QCOMPARE(QColor::fromRgba(GetColor("@color/half_red")).alpha(), 0x80);
}

QTEST_MAIN(ToolkitTest)
#include "tst_toolkit.moc"
