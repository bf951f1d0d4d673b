// The window toolkit layer: lookups, host windows and dialogs, events, menus, message
// boxes, timers, calls from other threads, and the package's strings, colours and sizes.
// Every layout and menu here is written by the test itself.

#include "DialogCodes.h"
#include "Events.h"
#include "FindChild.h"
#include "HostWindow.h"
#include "Menus.h"
#include "MessageBox.h"
#include "ProgramControls.h"
#include "Resources.h"
#include "Timers.h"
#include "UiLoader.h"
#include "WindowHandle.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using namespace folimo::ui;

namespace {

// Buttons of every closing role, a control three levels down, two controls of one name at
// different depths, a tab widget, and each of the program's own controls.
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
   <item><widget class="QPushButton" name="btn_handled"/></item>
   <item><widget class="QPushButton" name="btn_plain"/></item>
   <item><widget class="QPushButton" name="btn_ok"/></item>
   <item><widget class="QPushButton" name="btn_cancel"/></item>
   <item><widget class="QPushButton" name="btn_close"/></item>
   <item>
    <widget class="QPushButton" name="btn_close2">
     <property name="commandId" stdset="0"><number>2</number></property>
    </widget>
   </item>
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

const unsigned sumMessage = RegisterWindowMessage(QStringLiteral("TestSum"));

class RecordingWindow : public HostWindow {
public:
    using HostWindow::HostWindow;

    QStringList handles; // command names OnCommand claims
    QStringList commands;
    QList<Event> events;
    QList<int> menuCommands;
    QList<unsigned> messages;
    int inits = 0;
    std::function<void(int)> onTimer;

protected:
    void OnInit() override { ++inits; }
    bool OnEvent(Event& event) override {
        events.append(event);
        return HostWindow::OnEvent(event);
    }
    bool OnCommand(const QString& name) override {
        commands << name;
        return handles.contains(name);
    }
    bool OnMenuCommand(int id) override {
        menuCommands << id;
        return true;
    }
    void OnTimer(int id) override {
        if (onTimer)
            onTimer(id);
    }
    bool OnMessage(unsigned msg, quintptr wParam, qintptr lParam, qintptr& result) override {
        messages << msg;
        if (msg != sumMessage)
            return false;
        result = qintptr(wParam) + lParam;
        return true;
    }
};

class RecordingDialog : public HostDialog {
public:
    using HostDialog::HostDialog;

    QStringList commands;
    int inits = 0;
    int okCalls = 0;
    bool refuseOk = false; // the next OnOK keeps the dialog open, as a failed check would

protected:
    void OnInit() override { ++inits; }
    bool OnCommand(const QString& name) override {
        commands << name;
        return false;
    }
    void OnOK() override {
        ++okCalls;
        if (std::exchange(refuseOk, false))
            return;
        HostDialog::OnOK();
    }
};

class TickingControl : public QWidget, public TimedControl {
public:
    using QWidget::QWidget;
    QList<int> ticks;
    std::function<void(int)> onTick;

protected:
    void OnTimer2(int id) override {
        ticks << id;
        if (onTick)
            onTick(id);
    }
};

// Runs `act` from inside the event loop of the next modal window, once it shows.
void whenModal(std::function<void(QWidget*)> act) {
    QTimer::singleShot(0, qApp, [act] {
        if (QWidget* modal = QApplication::activeModalWidget())
            act(modal);
        else
            whenModal(act);
    });
}

// Walks the open menu `menu` along item texts and chooses the last; an empty path
// dismisses it.
void choose(QMenu* menu, QStringList path) {
    QTimer::singleShot(0, qApp, [menu, path] {
        if (QApplication::activePopupWidget() != menu)
            return choose(menu, path);
        if (path.isEmpty()) {
            QTest::keyClick(menu, Qt::Key_Escape);
            return;
        }
        QAction* item = nullptr;
        for (QAction* action : menu->actions()) {
            if (action->text() == path.first())
                item = action;
        }
        menu->setActiveAction(item);
        if (path.size() == 1) {
            QTest::keyClick(menu, Qt::Key_Return);
        } else {
            QTest::keyClick(menu, Qt::Key_Right);
            choose(item->menu(), path.mid(1));
        }
    });
}

QAbstractButton* button(const QObject* root, const char* name) {
    return FindChildByName2<QAbstractButton>(root, QString::fromLatin1(name));
}

// Spins the event loop until `done`; `guard` only keeps a broken build from hanging the
// run, it asserts nothing about time.
void runUntil(const std::function<bool()>& done) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(0);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

class ToolkitTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void lookupFindsControlsAtAnyDepthNearestFirst();
    void typedLookupChecksTheClassAndLogsMisses();
    void programControlsAreClassesOfTheirOwn();
    void hostWindowTakesTitleAndSizeFromItsLayout();
    void brokenLayoutsAreReported();
    void commandsReachTheWindowByName();
    void otherEventsCarryTheirIndicesAndPoints();
    void doModalEndsWithTheRoleOfTheControl_data();
    void doModalEndsWithTheRoleOfTheControl();
    void dialogCanRefuseToEnd();
    void menusCarryTheirCommandNumbers();
    void brokenMenusAreRefused();
    void trackPopupMenuAnswersTheChosenCommand_data();
    void trackPopupMenuAnswersTheChosenCommand();
    void messageBoxAnswersTheButtonPressed_data();
    void messageBoxAnswersTheButtonPressed();
    void messageBoxResponderAnswersWithoutShowing();
    void windowTimersTickUntilKilled();
    void controlTimersReachOnlyTheirControl();
    void otherThreadsReachTheWindowOnItsThread();
    void blockedSenderIsReleasedWhenTheWindowIsDestroyed();
    void blockedSenderIsReleasedWhenTheDialogEnds();
    void manySendersSurviveTheWindowGoing();
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

void ToolkitTest::lookupFindsControlsAtAnyDepthNearestFirst() {
    UiLoader loader;
    std::unique_ptr<QWidget> root(loader.loadLayout(layout_));
    QVERIFY2(root, qPrintable(loader.error()));

    QWidget* deep = FindChildByName(root.get(), "btn_deep");
    QVERIFY(deep);
    QCOMPARE(deep->parentWidget()->objectName(), QString("grp_inner"));
    // wnd_outer > grp_inner > btn_deep: three levels below the root.
    QCOMPARE(FindChildByName(root.get(), "btn_deep", 2), nullptr);
    QCOMPARE(FindChildByName(root.get(), "btn_deep", 3), deep);
    // Pages sit inside the tab widget's own stack, still found.
    QVERIFY(FindChildByName(root.get(), "page_c"));

    // The outer of two equal names wins, though the inner one was built first.
    auto* twice = qobject_cast<QLabel*>(FindChildByName(root.get(), "txt_twice"));
    QVERIFY(twice);
    QCOMPARE(twice->text(), QString("outer"));

    QCOMPARE(FindChildByName(root.get(), "btn_absent"), nullptr);
    QCOMPARE(FindChildByName(root.get(), "TEST_WND"), nullptr); // the root is no child
    QCOMPARE(FindChildByName(nullptr, "btn_deep"), nullptr);
}

void ToolkitTest::typedLookupChecksTheClassAndLogsMisses() {
    UiLoader loader;
    std::unique_ptr<QWidget> root(loader.loadLayout(layout_));
    QVERIFY(root);

    QTest::ignoreMessage(QtWarningMsg,
                         "FindChildByName2 Failed, no window of class [QLineEdit] with name of "
                         "[btn_deep] was found within [-1] levels");
    QCOMPARE(FindChildByName2<QLineEdit>(root.get(), "btn_deep"), nullptr);

    QTest::ignoreMessage(QtWarningMsg,
                         "FindChildByName2 Failed, no window of class [QPushButton] with name "
                         "of [btn_absent] was found within [-1] levels");
    QCOMPARE(FindChildByName2<QPushButton>(root.get(), "btn_absent"), nullptr);

    // The program's controls are named by their layout class, and the depth is the one
    // searched.
    QTest::ignoreMessage(QtWarningMsg,
                         "FindChildByName2 Failed, no window of class [mclistviewex] with name "
                         "of [btn_deep] was found within [2] levels");
    QCOMPARE(FindChildByName2<SMCListViewEx>(root.get(), "btn_deep", 2), nullptr);

    QTest::failOnWarning(QRegularExpression("FindChildByName2"));
    QVERIFY(FindChildByName2<QPushButton>(root.get(), "btn_deep"));
    QVERIFY(FindChildByName2<QAbstractButton>(root.get(), "btn_deep")); // a base class
    QVERIFY(FindChildByName2<QWidget>(root.get(), "edit_name"));
    QVERIFY(FindChildByName2<SMCListViewEx>(root.get(), "mclv_list"));
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
        {"mclv_list", "mclistviewex", FindChildByName2<SMCListViewEx>(root.get(), "mclv_list")},
        {"img_preview", "imgex", FindChildByName2<SImageWndEx>(root.get(), "img_preview")},
        {"top_ie_ad", "iectrl", FindChildByName2<SIECtrl>(root.get(), "top_ie_ad")},
        {"wnd_right_ad", "wkeWebkit", FindChildByName2<SWkeWebkit>(root.get(), "wnd_right_ad")},
    };
    for (const auto& control : controls) {
        QVERIFY2(control.control, control.name);
        QCOMPARE(control.control->objectName(), QString(control.name));
        QCOMPARE(control.control->property("folimoClass").toString(), QString(control.layoutClass));
    }
}

void ToolkitTest::hostWindowTakesTitleAndSizeFromItsLayout() {
    RecordingWindow window(layout_);
    QVERIFY2(window.Create(), qPrintable(window.ErrorString()));
    QVERIFY(window.Create()); // a second Create builds and initialises nothing again
    QCOMPARE(window.inits, 1);
    QCOMPARE(window.windowTitle(), QString("测试窗口"));
    QCOMPARE(window.size(), QSize(420, 300));
    QVERIFY(window.isWindow());
    QCOMPARE(window.Root()->objectName(), QString("TEST_WND"));
    QCOMPARE(window.Root()->parentWidget(), &window);
    QVERIFY(window.FindChildByName2<QPushButton>("btn_deep"));

    // A resource name is looked up in the package's layout folder.
    RecordingWindow byName("LAYOUT:TEST_WND_NOT_REGISTERED");
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("LAYOUT:TEST_WND_NOT_REGISTERED.*:/layout/"
                                            "TEST_WND_NOT_REGISTERED\\.ui"));
    QVERIFY(!byName.Create());
}

void ToolkitTest::brokenLayoutsAreReported() {
    QVERIFY(write("broken.ui", "<ui version=\"4.0\"><widget class=\"QWidget\""));
    RecordingDialog dialog(path("broken.ui"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("the window layout .*broken\\.ui"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(".*")); // the parser's own words
    QCOMPARE(dialog.DoModal(), -1);
    QCOMPARE(dialog.inits, 0);
    QVERIFY(!dialog.ErrorString().isEmpty());
}

void ToolkitTest::commandsReachTheWindowByName() {
    RecordingWindow window(layout_);
    window.handles = {"btn_handled"};
    QVERIFY(window.Create());
    window.show();

    button(&window, "btn_handled")->click();
    button(&window, "btn_plain")->click(); // unhandled, and no default role
    QCOMPARE(window.commands, QStringList({"btn_handled", "btn_plain"}));
    QVERIFY(window.isVisible());

    // A control's own subscriber sees the event first; when it handles it, the window
    // does not.
    QStringList seen;
    SubscribeEvent(button(&window, "btn_deep"), EventId::Command, [&](Event& event) {
        seen << "first:" + event.name;
        return true;
    });
    SubscribeEvent(button(&window, "btn_deep"), EventId::Command, [&](Event& event) {
        seen << "second:" + event.name;
        return true;
    });
    SubscribeEvent(button(&window, "btn_plain"), EventId::Command, [&](Event& event) {
        seen << "passing:" + event.name;
        return false;
    });
    button(&window, "btn_deep")->click();
    button(&window, "btn_plain")->click();
    QCOMPARE(seen, QStringList({"first:btn_deep", "passing:btn_plain"}));
    QCOMPARE(window.commands, QStringList({"btn_handled", "btn_plain", "btn_plain"}));

    // Left to the default, the closing button closes the window and its handle.
    button(&window, "btn_close")->click();
    QCOMPARE(window.commands.last(), QString("btn_close"));
    QVERIFY(!window.isVisible());
    QVERIFY(!window.Handle()->IsOpen());

    // A window that handles it itself stays open.
    RecordingWindow keeper(layout_);
    keeper.handles = {"btn_close"};
    QVERIFY(keeper.Create());
    keeper.show();
    button(&keeper, "btn_close")->click();
    QVERIFY(keeper.isVisible());
    QVERIFY(keeper.Handle()->IsOpen());

    // Menu commands chosen through the window reach it by number.
    QString error;
    std::unique_ptr<QMenu> menu = LoadMenu(path("menu.xml"), &error);
    QVERIFY2(menu, qPrintable(error));
    choose(menu.get(), {"子菜单", "子项"});
    QCOMPARE(keeper.PopupMenu(*menu, keeper.mapToGlobal(QPoint(10, 10))), 201);
    QCOMPARE(keeper.menuCommands, QList<int>({201}));
}

void ToolkitTest::otherEventsCarryTheirIndicesAndPoints() {
    RecordingWindow window(layout_);
    QVERIFY(window.Create());
    window.show();

    window.FindChildByName2<QTabWidget>("tab_view")->setCurrentIndex(2);
    window.FindChildByName2<QTabWidget>("tab_view")->setCurrentIndex(1);
    auto* list = window.FindChildByName2<SMCListViewEx>("mclv_list");
    emit list->customContextMenuRequested(QPoint(5, 6));
    Event changed;
    changed.id = EventId::ListSelChanged;
    changed.oldIndex = 1;
    changed.newIndex = 3;
    FireEvent(list, changed); // as the list view raises it

    QCOMPARE(window.events.size(), 4);
    const Event& firstTab = window.events[0];
    QCOMPARE(firstTab.id, EventId::TabSelChanged);
    QCOMPARE(firstTab.name, QString("tab_view"));
    QCOMPARE(firstTab.oldIndex, 0);
    QCOMPARE(firstTab.newIndex, 2);
    QCOMPARE(window.events[1].oldIndex, 2);
    QCOMPARE(window.events[1].newIndex, 1);
    QCOMPARE(window.events[2].id, EventId::ContextMenu);
    QCOMPARE(window.events[2].name, QString("mclv_list"));
    QCOMPARE(window.events[2].pos, QPoint(5, 6));
    QCOMPARE(window.events[3].id, EventId::ListSelChanged);
    QCOMPARE(window.events[3].sender, list);
    QCOMPARE(window.events[3].newIndex, 3);
    QVERIFY(window.commands.isEmpty());

    // A subscriber can veto a changing event before the window sees it.
    SubscribeEvent(list, EventId::ListSelChanging, [](Event& event) {
        event.cancel = event.newIndex > 5;
        return event.cancel;
    });
    Event changing;
    changing.id = EventId::ListSelChanging;
    changing.newIndex = 9;
    QVERIFY(FireEvent(list, changing));
    QVERIFY(changing.cancel);
    QCOMPARE(window.events.size(), 4);
}

void ToolkitTest::doModalEndsWithTheRoleOfTheControl_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("code");
    QTest::newRow("btn_ok") << "btn_ok" << int(IDOK);
    QTest::newRow("btn_cancel") << "btn_cancel" << int(IDCANCEL);
    QTest::newRow("btn_close") << "btn_close" << int(IDCANCEL);
    QTest::newRow("commandId 2") << "btn_close2" << int(IDCANCEL);
    QTest::newRow("escape in an edit box") << "escape" << int(IDCANCEL);
    QTest::newRow("title bar close") << "close" << int(IDCANCEL);
}

void ToolkitTest::doModalEndsWithTheRoleOfTheControl() {
    QFETCH(QString, how);
    QFETCH(int, code);
    QWidget owner;
    owner.show();
    RecordingDialog dialog(layout_);
    QWidget* shown = nullptr;
    QString title;
    bool ended = false;
    whenModal([&](QWidget* modal) {
        shown = modal;
        title = modal->windowTitle();
        if (how == "escape")
            QTest::keyClick(FindChildByName(modal, "edit_name"), Qt::Key_Escape);
        else if (how == "close")
            modal->close();
        else
            button(modal, qPrintable(how))->click();
        // Ending is synchronous; a dialog still open here would otherwise hang the run.
        ended = !modal->isVisible();
        if (!ended)
            dialog.EndDialog(-2);
    });
    const int result = dialog.DoModal(&owner);
    QVERIFY(ended);
    QCOMPARE(result, code);
    QCOMPARE(shown, &dialog);
    QCOMPARE(title, QString("测试窗口"));
    QCOMPARE(dialog.parentWidget(), &owner);
    QCOMPARE(dialog.inits, 1);
    QVERIFY(!dialog.isVisible());
    QVERIFY(!dialog.Handle()->IsOpen());
    if (how.startsWith("btn_"))
        QCOMPARE(dialog.commands, QStringList({how}));
}

void ToolkitTest::dialogCanRefuseToEnd() {
    RecordingDialog dialog(layout_);
    dialog.refuseOk = true;
    bool openAfterFirst = false;
    whenModal([&](QWidget* modal) {
        button(modal, "btn_ok")->click();
        openAfterFirst = modal->isVisible();
        if (openAfterFirst)
            button(modal, "btn_ok")->click();
    });
    QCOMPARE(dialog.DoModal(), int(IDOK));
    QVERIFY(openAfterFirst);
    QCOMPARE(dialog.okCalls, 2);

    // A second run reuses the built window with a fresh handle and no second OnInit.
    whenModal([&](QWidget* modal) {
        QVERIFY(dialog.Handle()->IsOpen());
        button(modal, "btn_cancel")->click();
    });
    QCOMPARE(dialog.DoModal(), int(IDCANCEL));
    QCOMPARE(dialog.inits, 1);
}

void ToolkitTest::menusCarryTheirCommandNumbers() {
    QString error;
    std::unique_ptr<QMenu> menu = LoadMenu(path("menu.xml"), &error);
    QVERIFY2(menu, qPrintable(error));
    const QList<QAction*> items = menu->actions();
    QCOMPARE(items.size(), 5);

    QCOMPARE(items[0]->text(), QString("添加文件"));
    QCOMPARE(MenuCommand(items[0]), 101);
    QVERIFY(!items[0]->icon().isNull());
    QVERIFY(items[0]->isEnabled());
    QVERIFY(!items[0]->isCheckable());
    QVERIFY(items[1]->isSeparator());
    QCOMPARE(items[2]->text(), QString("勾选")); // text from the element
    QCOMPARE(MenuCommand(items[2]), 102);
    QVERIFY(items[2]->isChecked());
    QCOMPARE(MenuCommand(items[3]), 103);
    QVERIFY(!items[3]->isEnabled());

    QMenu* sub = items[4]->menu();
    QVERIFY(sub);
    QCOMPARE(items[4]->text(), QString("子菜单"));
    QCOMPARE(MenuCommand(items[4]), 0);
    QCOMPARE(sub->actions().size(), 2);
    QCOMPARE(MenuCommand(sub->actions()[0]), 201);
    QMenu* deeper = sub->actions()[1]->menu();
    QVERIFY(deeper);
    QCOMPARE(MenuCommand(deeper->actions().value(0)), 301);

    // Items added in code, as the list's context menu does.
    QAction* move = AppendMenu(menu.get(), MF_STRING, 1003, "将选中项移动到此项上");
    QAction* separator = AppendMenu(menu.get(), MF_SEPARATOR, 0);
    QAction* marked = AppendMenu(menu.get(), MF_CHECKED | MF_GRAYED, 1005, "删除");
    QCOMPARE(menu->actions().size(), 8);
    QCOMPARE(menu->actions().last(), marked);
    QCOMPARE(MenuCommand(move), 1003);
    QCOMPARE(move->text(), QString("将选中项移动到此项上"));
    QVERIFY(move->isEnabled());
    QVERIFY(separator->isSeparator());
    QVERIFY(marked->isChecked());
    QVERIFY(!marked->isEnabled());

    // A menu by resource name reads the package's folder of that kind.
    QVERIFY(!LoadMenu("SMENU:NO_SUCH_MENU", &error));
    QVERIFY2(error.contains(":/smenu/NO_SUCH_MENU.xml"), qPrintable(error));
}

void ToolkitTest::brokenMenusAreRefused() {
    QString error;
    QVERIFY(write("cut.xml", "<menu><item id=\"1\" text=\"a\"/><item"));
    QVERIFY(!LoadMenu(path("cut.xml"), &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(write("other.xml", "<strings/>"));
    QVERIFY(!LoadMenu(path("other.xml"), &error));
    QVERIFY(!LoadMenu(path("absent.xml"), &error));
}

void ToolkitTest::trackPopupMenuAnswersTheChosenCommand_data() {
    QTest::addColumn<QStringList>("choice");
    QTest::addColumn<int>("command");
    QTest::newRow("top level") << QStringList({"添加文件"}) << 101;
    QTest::newRow("checked item") << QStringList({"勾选"}) << 102;
    QTest::newRow("two levels down") << QStringList({"子菜单", "更深", "最深"}) << 301;
    QTest::newRow("dismissed") << QStringList() << 0;
}

void ToolkitTest::trackPopupMenuAnswersTheChosenCommand() {
    QFETCH(QStringList, choice);
    QFETCH(int, command);
    std::unique_ptr<QMenu> menu = LoadMenu(path("menu.xml"));
    QVERIFY(menu);
    choose(menu.get(), choice);
    QCOMPARE(TrackPopupMenu(menu.get(), QPoint(40, 40)), command);
    QVERIFY(!menu->isVisible());
}

void ToolkitTest::messageBoxAnswersTheButtonPressed_data() {
    QTest::addColumn<unsigned>("type");
    QTest::addColumn<int>("click"); // a QMessageBox::StandardButton, or NoButton for `key`
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("answer");
    QTest::newRow("yes/no, No") << unsigned(MB_YESNO | MB_ICONQUESTION) << int(QMessageBox::No) << 0
                                << int(QMessageBox::Question)
                                << int(QMessageBox::Yes | QMessageBox::No) << int(IDNO);
    QTest::newRow("yes/no, Escape")
        << unsigned(MB_YESNO) << int(QMessageBox::NoButton) << int(Qt::Key_Escape)
        << int(QMessageBox::NoIcon) << int(QMessageBox::Yes | QMessageBox::No) << int(IDNO);
    QTest::newRow("ok/cancel, Cancel")
        << unsigned(MB_OKCANCEL | MB_ICONWARNING) << int(QMessageBox::Cancel) << 0
        << int(QMessageBox::Warning) << int(QMessageBox::Ok | QMessageBox::Cancel) << int(IDCANCEL);
    QTest::newRow("ok, Escape") << unsigned(MB_OK | MB_ICONINFORMATION)
                                << int(QMessageBox::NoButton) << int(Qt::Key_Escape)
                                << int(QMessageBox::Information) << int(QMessageBox::Ok)
                                << int(IDOK);
    QTest::newRow("second button default, Enter")
        << unsigned(MB_YESNOCANCEL | MB_ICONERROR | MB_DEFBUTTON2) << int(QMessageBox::NoButton)
        << int(Qt::Key_Return) << int(QMessageBox::Critical)
        << int(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel) << int(IDNO);
}

void ToolkitTest::messageBoxAnswersTheButtonPressed() {
    QFETCH(unsigned, type);
    QFETCH(int, click);
    QFETCH(int, key);
    QFETCH(int, icon);
    QFETCH(int, buttons);
    QFETCH(int, answer);
    QWidget owner;
    owner.show();
    QString text, caption;
    int shownIcon = -1, shownButtons = -1;
    QWidget* shownOwner = nullptr;
    whenModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box) {
            modal->close();
            return;
        }
        text = box->text();
        caption = box->windowTitle();
        shownIcon = box->icon();
        shownButtons = int(box->standardButtons());
        shownOwner = box->parentWidget();
        if (click != QMessageBox::NoButton)
            box->button(QMessageBox::StandardButton(click))->click();
        else
            QTest::keyClick(box, Qt::Key(key));
    });
    QCOMPARE(SMessageBox(&owner, "请选择需要删除的项。", "VelmarFolimo", type), answer);
    QCOMPARE(text, QString("请选择需要删除的项。"));
    QCOMPARE(caption, QString("VelmarFolimo"));
    QCOMPARE(shownIcon, icon);
    QCOMPARE(shownButtons, buttons);
    QCOMPARE(shownOwner, &owner);
}

void ToolkitTest::messageBoxResponderAnswersWithoutShowing() {
    QStringList asked;
    bool anyModal = false;
    const MessageBoxResponder previous = SetMessageBoxResponder(
        [&](QWidget*, const QString& text, const QString& caption, unsigned type) {
            asked << text << caption << QString::number(type, 16);
            anyModal = QApplication::activeModalWidget() != nullptr;
            return int(IDYES);
        });
    const int answer =
        SMessageBox(nullptr, "请先添加需要转换的图片文件。", {}, MB_YESNO | MB_ICONINFORMATION);
    SetMessageBoxResponder(previous);
    QCOMPARE(answer, int(IDYES));
    QCOMPARE(asked, QStringList({"请先添加需要转换的图片文件。", "", "44"}));
    QVERIFY(!anyModal);
}

void ToolkitTest::windowTimersTickUntilKilled() {
    RecordingWindow window(layout_);
    QVERIFY(window.Create());
    int first = 0, second = 0;
    window.onTimer = [&](int id) {
        if (id == 1 && ++first == 3) {
            QVERIFY(window.KillTimer(1));
            // Only from here on does timer 2 run, so each of its ticks comes after the
            // kill whatever the speed of the machine.
            QVERIFY(window.SetTimer(2, 1));
        } else if (id == 2) {
            ++second;
        }
    };
    QVERIFY(window.SetTimer(1, 1));
    runUntil([&] { return second >= 5; });
    QCOMPARE(first, 3);
    QCOMPARE(second >= 5, true);
    QVERIFY(!window.KillTimer(1)); // already gone
    QVERIFY(window.KillTimer(2));
}

void ToolkitTest::controlTimersReachOnlyTheirControl() {
    RecordingWindow window(layout_);
    QVERIFY(window.Create());
    QList<int> windowTicks;
    window.onTimer = [&](int id) { windowTicks << id; };
    auto* left = new TickingControl(window.Root());
    auto* right = new TickingControl(window.Root());
    QWidget* plain = window.FindChildByName("btn_plain");
    QList<int> plainTicks;

    QVERIFY(!SetTimer2(plain, 7, 1)); // no OnTimer2 to reach, and no handler given
    int rightAfterKill = 0;
    left->onTick = [&](int) {
        if (left->ticks.size() == 3) {
            QVERIFY(left->KillTimer2(7));
            QVERIFY(right->SetTimer2(7, 1));
        }
    };
    right->onTick = [&](int) { ++rightAfterKill; };
    QVERIFY(left->SetTimer2(7, 1));
    QVERIFY(SetTimer2(plain, 7, 1, [&](int id) { plainTicks << id; }));
    runUntil([&] { return rightAfterKill >= 5 && plainTicks.size() >= 5; });

    QCOMPARE(left->ticks, QList<int>({7, 7, 7}));
    QVERIFY(right->ticks.size() >= 5);
    QVERIFY(plainTicks.size() >= 5);
    QVERIFY(windowTicks.isEmpty()); // a window timer 7 was never set
    QVERIFY(!window.KillTimer(7));
    QVERIFY(KillTimer2(plain, 7));
    QVERIFY(!KillTimer2(plain, 7));
}

void ToolkitTest::otherThreadsReachTheWindowOnItsThread() {
    QCOMPARE(RegisterWindowMessage("TestSum"), sumMessage);
    QVERIFY(sumMessage >= 0xC000);
    QVERIFY(RegisterWindowMessage("CheckUpdate") != sumMessage);

    RecordingWindow window(layout_);
    QVERIFY(window.Create());
    const std::shared_ptr<WindowHandle> handle = window.Handle();
    QThread* const windowThread = QThread::currentThread();

    // On the window's own thread a send runs at once.
    bool inline_ = false;
    QVERIFY(handle->Send([&] { inline_ = true; }));
    QVERIFY(inline_);

    bool sent = false, onWindowThread = false, handled = false;
    qintptr sum = 0;
    int onStack = 0;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        // The call may use the sender's stack: the send waits until it has run.
        int local = 41;
        sent = handle->Send([&] {
            ++local;
            onWindowThread = QThread::currentThread() == windowThread;
        });
        onStack = local;
        for (unsigned i = 1; i <= 3; ++i)
            handle->PostMessage(1000 + i);
        sum = handle->SendMessage(sumMessage, 40, 2, &handled);
        finished = true;
    });
    runUntil([&] { return finished.load(); });
    worker.join();
    QVERIFY(sent);
    QVERIFY(onWindowThread);
    QCOMPARE(onStack, 42);
    QVERIFY(handled);
    QCOMPARE(sum, qintptr(42));
    QCOMPARE(window.messages, QList<unsigned>({1001, 1002, 1003, sumMessage}));
}

void ToolkitTest::blockedSenderIsReleasedWhenTheWindowIsDestroyed() {
    auto window = std::make_unique<RecordingWindow>(layout_);
    QVERIFY(window->Create());
    const std::shared_ptr<WindowHandle> handle = window->Handle();
    bool sent = true;
    std::atomic<bool> ran{false};
    std::thread sender([&] { sent = handle->Send([&] { ran = true; }); });
    // The window's thread runs no events meanwhile, so the call stays queued.
    while (handle->PendingCalls() == 0)
        std::this_thread::yield();
    window.reset();
    sender.join(); // hangs if the send never returns
    QVERIFY(!sent);
    QVERIFY(!ran);
    QCoreApplication::processEvents();
    QVERIFY(!ran);

    QVERIFY(!handle->IsOpen());
    QVERIFY(!handle->Post([&] { ran = true; }));
    bool handled = true;
    QCOMPARE(handle->SendMessage(sumMessage, 1, 2, &handled), qintptr(0));
    QVERIFY(!handled);
    std::thread late([&] { sent = handle->Send([&] { ran = true; }); });
    late.join();
    QVERIFY(!sent);
    QVERIFY(!ran);
}

void ToolkitTest::blockedSenderIsReleasedWhenTheDialogEnds() {
    RecordingDialog dialog(layout_);
    std::shared_ptr<WindowHandle> handle;
    std::atomic<bool> ran{false};
    bool sent = false;
    std::thread sender;
    whenModal([&](QWidget* modal) {
        handle = dialog.Handle();
        sender = std::thread([&, handle] { sent = handle->Send([&] { ran = true; }); });
        while (handle->PendingCalls() == 0)
            std::this_thread::yield();
        button(modal, "btn_cancel")->click();
    });
    QCOMPARE(dialog.DoModal(), int(IDCANCEL));
    sender.join();
    // Whether the loop got to the call before it ended is up to Qt; what the sender was
    // told must match what happened.
    QCOMPARE(sent, ran.load());
    QVERIFY(!handle->IsOpen());
}

void ToolkitTest::manySendersSurviveTheWindowGoing() {
    auto window = std::make_unique<RecordingWindow>(layout_);
    QVERIFY(window->Create());
    const std::shared_ptr<WindowHandle> handle = window->Handle();
    int calls = 0; // window thread only
    std::vector<std::thread> senders;
    for (int i = 0; i < 4; ++i) {
        senders.emplace_back([handle, &calls, i] {
            auto payload = std::make_shared<QString>(QString::number(i));
            while (handle->Send([&calls, payload] { calls += payload->size(); }) &&
                   handle->Post([payload] { (void)payload->size(); })) {
            }
        });
    }
    runUntil([&] { return calls >= 200; });
    window.reset();
    for (std::thread& sender : senders)
        sender.join();
    QVERIFY(calls >= 200);
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
