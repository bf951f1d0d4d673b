// The interface package as the windows rely on it: every layout builds with the controls
// its window looks up by name and of the kind it expects, the menus carry the command
// numbers the windows handle, the texts and colours are well formed, and every window
// renders (screenshots go to $FOLIMO_ARTIFACTS for a human to look at).

#include "CAboutDialog.h"
#include "CMainDlg.h"
#include "CMakeDialog.h"
#include "CSettingsDialog.h"
#include "CUpdateDialog.h"
#include "ProgramControls.h"
#include "UiLoader.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QLabel>
#include <QLayout>
#include <QPixmap>
#include <QProgressBar>
#include <QRegularExpression>
#include <QResource>
#include <QSet>
#include <QTabWidget>
#include <QTextEdit>
#include <QWidget>
#include <QXmlStreamReader>
#include <QtTest>

#include <functional>
#include <map>
#include <memory>

using folimo::ui::UiLoader;

namespace {

const QStringList kProgramClasses = {"mclistviewex", "imgex", "iectrl", "wkeWebkit"};

struct Control {
    const char* name;
    const char* kind; // a Qt class the control must inherit, or a program control class
};

// The names each window's code finds in its layout, with the kind of control it expects.
const std::map<QString, QList<Control>>& requiredControls() {
    static const std::map<QString, QList<Control>> table = {
        {"XML_MAINWND",
         {
             {"mclv_list", "mclistviewex"},     {"mclv_list_header", "QWidget"},
             {"btn_close", "QPushButton"},      {"btn_min", "QPushButton"},
             {"btn_max", "QPushButton"},        {"btn_restore", "QPushButton"},
             {"btn_view", "QPushButton"},       {"btn_add", "QPushButton"},
             {"btn_add_ext", "QPushButton"},    {"btn_delete", "QPushButton"},
             {"btn_delete_ext", "QPushButton"}, {"btn_settings", "QPushButton"},
             {"btn_make", "QPushButton"},       {"btn_make_ext", "QPushButton"},
             {"btn_app", "QPushButton"},        {"btn_menu", "QPushButton"},
             {"win_prview", "QWidget"},         {"img_preview", "imgex"},
             {"txt_preview", "QLabel"},         {"wnd_status_tip", "QWidget"},
             {"link_bt_tip", "QLabel"},         {"top_ie_ad", "iectrl"},
             {"wnd_right_ad", "wkeWebkit"},
         }},
        {"XML_LISTITEM",
         {
             {"col1", "QWidget"},
             {"col2", "QWidget"},
             {"col3", "QWidget"},
             {"col4", "QWidget"},
             {"col5", "QWidget"},
             {"col6", "QWidget"},
             {"col7", "QWidget"},
             {"txt_number", "QLabel"},
             {"img_icon", "QLabel"},
             {"txt_name", "QLabel"},
             {"txt_path", "QLabel"},
             {"txt_dpi", "QLabel"},
             {"txt_size", "QLabel"},
             {"txt_create_time", "QLabel"},
             {"txt_change_time", "QLabel"},
         }},
        {"XML_ABOUTWND",
         {
             {"text_ver", "QLabel"},
             {"btn_ok", "QPushButton"},
         }},
        {"XML_MAKEWND",
         {
             {"text_tip", "QLabel"},
             {"progress_make", "QProgressBar"},
             {"edit_log", "QTextEdit"},
             {"btn_stop", "QPushButton"},
             {"btn_open_file", "QPushButton"},
             {"btn_open_folder", "QPushButton"},
             {"btn_close2", "QPushButton"},
         }},
        {"XML_SCANWND",
         {
             {"combo_device", "QComboBox"},
             {"btn_refresh", "QPushButton"},
             {"combo_source", "QComboBox"},
             {"combo_colour", "QComboBox"},
             {"combo_resolution", "QComboBox"},
             {"combo_paper", "QComboBox"},
             {"check_skip_blank", "QCheckBox"},
             {"spin_blank_ink", "QSpinBox"},
             {"lbl_blank_ink", "QLabel"},
             {"edit_folder", "QLineEdit"},
             {"btn_folder", "QPushButton"},
             {"text_status", "QLabel"},
             {"progress_page", "QProgressBar"},
             {"text_counts", "QLabel"},
             {"btn_scan", "QPushButton"},
             {"btn_stop", "QPushButton"},
             {"btn_close", "QPushButton"},
         }},
        {"XML_SETTINGSWND",
         {
             {"edit_pdf_path", "QLineEdit"},
             {"btn_browse", "QPushButton"},
             {"check_show_ad", "QCheckBox"},
             {"check_move_item_sort", "QCheckBox"},
             {"check_context_menu", "QCheckBox"},
             {"check_add_bookmark", "QCheckBox"},
             {"edit_pdf_title", "QLineEdit"},
             {"edit_pdf_subject", "QLineEdit"},
             {"edit_pdf_writer", "QLineEdit"},
             {"edit_pdf_creator", "QLineEdit"},
             {"edit_pdf_keywords", "QLineEdit"},
             {"cbx_image_code", "QComboBox"},
             {"cbx_image_default_code", "QComboBox"},
             {"edit_jpeg_ratio", "QSpinBox"},
             {"edit_image_maxx", "QSpinBox"},
             {"edit_image_maxy", "QSpinBox"},
             {"edit_dpi", "QSpinBox"},
             {"cbx_page_size", "QComboBox"},
             {"check_rung_page", "QCheckBox"},
             {"check_double_page", "QCheckBox"},
             {"check_img_in_page", "QCheckBox"},
             {"check_img_auto_rotate", "QCheckBox"},
             {"edit_page_margin_left", "QSpinBox"},
             {"edit_page_margin_top", "QSpinBox"},
             {"edit_text", "QLineEdit"},
             {"edit_font_size", "QSpinBox"},
             {"edit_text_opcity", "QSpinBox"},
             {"edit_text_pos_x", "QSpinBox"},
             {"edit_text_pos_y", "QSpinBox"},
             {"div_text_color", "QWidget"},
             {"btn_text_color", "QPushButton"},
             {"edit_image_path", "QLineEdit"},
             {"bt_image_path", "QPushButton"},
             {"edit_image_pos_x", "QSpinBox"},
             {"edit_image_pos_y", "QSpinBox"},
             {"edit_image_opcity", "QSpinBox"},
             {"btn_ok", "QPushButton"},
             {"btn_cancel", "QPushButton"},
         }},
        {"XML_UPDATE",
         {
             {"btn_update", "QPushButton"},
             {"btn_open", "QPushButton"},
             {"btn_open_url", "QPushButton"},
             {"btn_ok", "QPushButton"},
             {"btn_cancel", "QPushButton"},
             {"tab_view", "QTabWidget"},
             {"progress_update", "QProgressBar"},
             {"text_tip", "QLabel"},
             {"text_tip_new_version", "QLabel"},
         }},
    };
    return table;
}

// The windows proper, with the kind of their root and the size they are shown at.
struct Window {
    const char* layout;
    const char* rootClass;
    QSize size;
};

const QList<Window>& windows() {
    static const QList<Window> list = {
        {"XML_MAINWND", "QWidget", QSize(980, 640)},
        {"XML_ABOUTWND", "QDialog", QSize(400, 240)},
        {"XML_MAKEWND", "QDialog", QSize(560, 380)},
        {"XML_SETTINGSWND", "QDialog", QSize(580, 500)},
        {"XML_SCANWND", "QDialog", QSize(520, 420)},
        {"XML_UPDATE", "QDialog", QSize(460, 240)},
        {"XML_LISTITEM", "QWidget", QSize(962, 30)},
    };
    return list;
}

// Everything the form builder complains about while a layout is built: an unknown class,
// property or enum value means a control silently went missing or lost a setting.
QStringList* messageSink = nullptr;
QtMessageHandler previousHandler = nullptr;

void collectMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (messageSink && type != QtDebugMsg && type != QtInfoMsg)
        messageSink->append(message);
    if (previousHandler)
        previousHandler(type, context, message);
}

QString artifactsFolder() {
    QString folder = qEnvironmentVariable("FOLIMO_ARTIFACTS");
    if (folder.isEmpty())
        folder = QDir::temp().filePath("folimo-artifacts");
    return folder;
}

// Brings a window on screen (the offscreen platform here) at a given size and takes its
// picture once its layouts have placed every control.
QPixmap render(QWidget* window, const QSize& size) {
    window->resize(size);
    window->show();
    QCoreApplication::sendPostedEvents();
    if (window->layout())
        window->layout()->activate();
    return window->grab();
}

} // namespace

class LayoutsTest : public QObject {
    Q_OBJECT

private:
    std::map<QString, std::unique_ptr<QWidget>> loaded;
    QHash<QString, QStringList> loadMessages;

    // Each layout is built once and shared by the checks that follow.
    QWidget* window(const QString& layout) {
        auto found = loaded.find(layout);
        if (found != loaded.end())
            return found->second.get();
        QStringList messages;
        messageSink = &messages;
        previousHandler = qInstallMessageHandler(collectMessages);
        UiLoader loader;
        QWidget* root = loader.loadLayout("LAYOUT:" + layout);
        qInstallMessageHandler(previousHandler);
        messageSink = nullptr;
        if (!root)
            messages.append(QStringLiteral("not built: %1").arg(loader.errorString()));
        loadMessages.insert(layout, messages);
        loaded[layout].reset(root);
        return root;
    }

    template <typename T>
    T* control(const QString& layout, const char* name) {
        QWidget* root = window(layout);
        return root ? root->findChild<T*>(QString::fromLatin1(name)) : nullptr;
    }

private slots:
    void initTestCase() {
        QVERIFY2(QResource::registerResource(QStringLiteral(FOLIMO_UIRES_PATH)),
                 "the interface package " FOLIMO_UIRES_PATH " cannot be registered");
        folimo::ui::registerProgramControls();
        QVERIFY(QDir().mkpath(artifactsFolder()));
    }

    void cleanupTestCase() { loaded.clear(); }

    void layoutBuilds_data() {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("rootClass");
        for (const Window& w : windows())
            QTest::newRow(w.layout)
                << QString::fromLatin1(w.layout) << QString::fromLatin1(w.rootClass);
    }

    void layoutBuilds() {
        QFETCH(QString, layout);
        QFETCH(QString, rootClass);
        QWidget* root = window(layout);
        QVERIFY2(root, qPrintable(loadMessages.value(layout).join('\n')));
        QVERIFY2(
            loadMessages.value(layout).isEmpty(),
            qPrintable("complaints while building: " + loadMessages.value(layout).join(" | ")));
        QCOMPARE(root->objectName(), layout);
        QVERIFY2(root->inherits(rootClass.toLatin1().constData()),
                 qPrintable(QStringLiteral("root is a %1").arg(root->metaObject()->className())));
        QVERIFY(!root->windowTitle().isEmpty());
    }

    void namedControls_data() {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        for (const auto& [layout, controls] : requiredControls())
            for (const Control& c : controls)
                QTest::addRow("%s/%s", qPrintable(layout), c.name)
                    << layout << QString::fromLatin1(c.name) << QString::fromLatin1(c.kind);
    }

    void namedControls() {
        QFETCH(QString, layout);
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QWidget* root = window(layout);
        QVERIFY2(root, qPrintable(layout + " is not built"));
        const QList<QWidget*> matches = root->findChildren<QWidget*>(name);
        QVERIFY2(!matches.isEmpty(),
                 qPrintable(QStringLiteral("%1 has no control named %2").arg(layout, name)));
        QVERIFY2(matches.size() == 1, qPrintable(QStringLiteral("%1 has %2 controls named %3")
                                                     .arg(layout)
                                                     .arg(matches.size())
                                                     .arg(name)));
        QWidget* w = matches.first();
        if (kProgramClasses.contains(kind)) {
            QCOMPARE(w->property("folimoClass").toString(), kind);
        } else {
            QVERIFY2(w->inherits(kind.toLatin1().constData()),
                     qPrintable(QStringLiteral("%1 is a %2, not a %3")
                                    .arg(name, w->metaObject()->className(), kind)));
        }
    }

    // What the main window looks like before its code has touched it: the preview pane
    // with its placeholder text, no update notice, the restore button waiting for a
    // maximised window, the right-hand panel out of the way.
    void mainWindowInitialState() {
        const QString layout = "XML_MAINWND";
        QWidget* root = window(layout);
        QVERIFY(root);
        auto shown = [&](const char* name) {
            QWidget* w = root->findChild<QWidget*>(name);
            return w && w->isVisibleTo(root);
        };
        QVERIFY(shown("win_prview"));
        QVERIFY(shown("txt_preview"));
        QVERIFY(!shown("img_preview"));
        QVERIFY(shown("btn_max"));
        QVERIFY(!shown("btn_restore"));
        QVERIFY(!shown("wnd_status_tip"));
        QVERIFY(!shown("wnd_right_ad"));
        QVERIFY(shown("top_ie_ad"));
        auto* view = control<QAbstractButton>(layout, "btn_view");
        QVERIFY(view);
        QVERIFY(view->isCheckable());
        QVERIFY(!view->isChecked());
        QWidget* list = root->findChild<QWidget*>("mclv_list");
        QVERIFY(list);
        QVERIFY(!list->property("headerHeight").toString().isEmpty());
        QCOMPARE(list->property("itemTemplate").toString(), QStringLiteral("LAYOUT:XML_LISTITEM"));
        QWidget* header = root->findChild<QWidget*>("mclv_list_header");
        QVERIFY(header);
        const QStringList columns = header->property("columnTexts").toStringList();
        QCOMPARE(columns.size(), 8);
        QCOMPARE(header->property("columnWidths").toString().split(',').size(), 8);
    }

    void progressWindowInitialState() {
        const QString layout = "XML_MAKEWND";
        auto* progress = control<QProgressBar>(layout, "progress_make");
        QVERIFY(progress);
        QCOMPARE(progress->minimum(), 0);
        QCOMPARE(progress->maximum(), 1000);
        QCOMPARE(progress->value(), 0);
        auto* log = control<QTextEdit>(layout, "edit_log");
        QVERIFY(log);
        QVERIFY(log->isReadOnly());
        QWidget* root = window(layout);
        // Running: only stop is offered; the open and close buttons appear when it is done.
        QVERIFY(root->findChild<QWidget*>("btn_stop")->isVisibleTo(root));
        for (const char* name : {"btn_open_file", "btn_open_folder", "btn_close2"})
            QVERIFY2(!root->findChild<QWidget*>(name)->isVisibleTo(root), name);
    }

    // Every window binds each control its code uses when it is built: a layout that lost
    // or renamed one fails here, not at the click that needs it.
    void everyWindowBindsItsControls() {
        using namespace folimo::ui;
        CMainDlg owner; // built first: it binds its own controls
        QVERIFY(owner.Engine());
        folimo::ConversionProgress progress(1, folimo::ConversionMode::Single);
        folimo::UpdateQueryOptions nowhere;
        nowhere.server = L"127.0.0.1:9";
        const struct {
            const char* window;
            std::function<void()> build;
        } windows[] = {
            {"settings",
             [&] {
                 CSettingsDialog{owner.Engine()->GetSettings(), &owner};
             }},
            {"progress",
             [&] {
                 CMakeDialog{progress, &owner};
             }},
            {"update",
             [&] {
                 CUpdateDialog{&owner, nowhere};
             }},
            {"about", [&] { CAboutDialog{&owner}; }},
        };
        for (const auto& window : windows) {
            try {
                window.build();
            } catch (const LayoutError& error) {
                QFAIL(qPrintable(QStringLiteral("%1: %2").arg(window.window, error.what())));
            }
        }
    }

    // The drop-down lists are read by index as the record's codes: their items must stand
    // in code order, the default encoding starting at code 1.
    void settingsDropDownsFollowCodes() {
        const QString layout = "XML_SETTINGSWND";
        auto* pageSize = control<QComboBox>(layout, "cbx_page_size");
        auto* encode = control<QComboBox>(layout, "cbx_image_code");
        auto* defaultEncode = control<QComboBox>(layout, "cbx_image_default_code");
        QVERIFY(pageSize && encode && defaultEncode);
        QCOMPARE(pageSize->count(), 12);
        QVERIFY(pageSize->itemText(4).startsWith("A4"));
        QVERIFY(pageSize->itemText(1).startsWith("A1"));
        QCOMPARE(encode->count(), 6);
        QCOMPARE(defaultEncode->count(), 5);
        for (int code = 1; code <= 5; ++code)
            QCOMPARE(defaultEncode->itemText(code - 1), encode->itemText(code));
        QVERIFY(encode->itemText(1).contains("JPEG"));
        QVERIFY(encode->itemText(2).contains("JPEG"));
        QCOMPARE(encode->itemText(3), QStringLiteral("PNG"));
        QCOMPARE(encode->itemText(4), QStringLiteral("GIF"));
        QCOMPARE(encode->itemText(5), QStringLiteral("TIFF"));
        for (QComboBox* box : {pageSize, encode, defaultEncode})
            QVERIFY(!box->isEditable());
    }

    // Pages of the update window by number: 0 downloading (and checking), 1 newer
    // version, 2 none, 3 downloaded, 4 failed.
    void updateWindowPages() {
        const QString layout = "XML_UPDATE";
        auto* tabs = control<QTabWidget>(layout, "tab_view");
        QVERIFY(tabs);
        QCOMPARE(tabs->count(), 5);
        QCOMPARE(tabs->currentIndex(), 0);
        auto pageOf = [&](const char* name) {
            QWidget* w = window(layout)->findChild<QWidget*>(name);
            for (int i = 0; w && i < tabs->count(); ++i)
                if (tabs->widget(i)->isAncestorOf(w))
                    return i;
            return -1;
        };
        QCOMPARE(pageOf("progress_update"), 0);
        QCOMPARE(pageOf("text_tip"), 0);
        QCOMPARE(pageOf("text_tip_new_version"), 1);
        QCOMPARE(pageOf("btn_update"), 1);
        QCOMPARE(pageOf("btn_open"), 3);
        QCOMPARE(pageOf("btn_open_url"), 4);
        auto* progress = control<QProgressBar>(layout, "progress_update");
        QCOMPARE(progress->maximum(), 1000);
    }

    void menus_data() {
        QTest::addColumn<QString>("resource");
        QTest::addColumn<QList<int>>("commands");
        QTest::newRow("MENU_ADD") << "SMENU:MENU_ADD" << QList<int>{1, 2, 3, 14};
        QTest::newRow("MENU_DELETE") << "SMENU:MENU_DELETE" << QList<int>{4, 5, 13};
        QTest::newRow("MENU_MAKE") << "SMENU:MENU_MAKE" << QList<int>{6, 7, 8, 9, 10, 11, 12};
        QTest::newRow("MENU_MAIN") << "SMENU:MENU_MAIN" << QList<int>{20, 21, 24, 25, 26, 29};
        // The list's context menu is filled by the window, row by row.
        QTest::newRow("MENUEX_IMAGE_LIST") << "SMENUEX:MENUEX_IMAGE_LIST" << QList<int>{};
    }

    void menus() {
        QFETCH(QString, resource);
        QFETCH(QList<int>, commands);
        const QString path = folimo::ui::resourcePath(resource);
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path + " is missing"));
        QXmlStreamReader xml(&file);
        QSet<int> ids;
        int depth = 0;
        bool sawRoot = false;
        while (!xml.atEnd()) {
            xml.readNext();
            if (xml.isStartElement()) {
                const QString element = xml.name().toString();
                const QXmlStreamAttributes attributes = xml.attributes();
                if (!sawRoot) {
                    QCOMPARE(element, QStringLiteral("menu"));
                    sawRoot = true;
                    ++depth;
                    continue;
                }
                if (element == QLatin1String("item")) {
                    bool numeric = false;
                    const int id = attributes.value("id").toInt(&numeric);
                    QVERIFY2(numeric,
                             qPrintable(QStringLiteral("%1, line %2: id \"%3\" is not a number")
                                            .arg(path)
                                            .arg(xml.lineNumber())
                                            .arg(attributes.value("id"))));
                    QVERIFY2(!ids.contains(id),
                             qPrintable(QStringLiteral("%1: id %2 twice").arg(path).arg(id)));
                    ids.insert(id);
                    QVERIFY2(
                        !attributes.value("text").trimmed().isEmpty(),
                        qPrintable(QStringLiteral("%1: item %2 has no text").arg(path).arg(id)));
                    const QString icon = attributes.value("icon").toString();
                    if (!icon.isEmpty())
                        QVERIFY2(!QPixmap(icon).isNull(),
                                 qPrintable(path + ": icon " + icon + " does not load"));
                    for (const char* flag : {"check", "disable"}) {
                        const QStringView value = attributes.value(flag);
                        QVERIFY2(value.isEmpty() || value == u"0" || value == u"1",
                                 qPrintable(QStringLiteral("%1: item %2 %3=\"%4\"")
                                                .arg(path)
                                                .arg(id)
                                                .arg(flag)
                                                .arg(value)));
                    }
                } else if (element == QLatin1String("menu")) {
                    QVERIFY2(!attributes.value("text").trimmed().isEmpty(),
                             qPrintable(path + ": a submenu has no text"));
                    ++depth;
                } else {
                    QVERIFY2(
                        element == QLatin1String("sep"),
                        qPrintable(QStringLiteral("%1: unknown element <%2>").arg(path, element)));
                }
            } else if (xml.isEndElement() && xml.name() == QLatin1String("menu")) {
                --depth;
            }
        }
        QVERIFY2(!xml.hasError(), qPrintable(path + ": " + xml.errorString()));
        QVERIFY(sawRoot);
        QCOMPARE(depth, 0);
        QList<int> found = ids.values();
        std::sort(found.begin(), found.end());
        QCOMPARE(found, commands);
    }

    void strings_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("list empty")
            << "msg_list_empty" << QStringLiteral("请先添加需要转换的图片文件。");
        QTest::newRow("nothing to delete")
            << "msg_select_to_delete" << QStringLiteral("请选择需要删除的项。");
        QTest::newRow("needs admin") << "msg_context_menu_needs_admin"
                                     << QStringLiteral("请使用管理员权限打开后设置系统右键菜单");
        QTest::newRow("caption") << "msgbox_caption" << QStringLiteral("VelmarFolimo");
        QTest::newRow("image folder")
            << "title_choose_image_folder" << QStringLiteral("请选择图片文件存放的目录");
        QTest::newRow("pdf folder")
            << "title_choose_pdf_folder" << QStringLiteral("请选择保存PDF文件的目录");
        QTest::newRow("all files") << "filter_all_files_name" << QStringLiteral("所有文件 (*.*)");
        QTest::newRow("image files") << "filter_images_name" << QStringLiteral("所有图片文件");
        QTest::newRow("image patterns")
            << "filter_images_pattern"
            << QStringLiteral("*.bmp;*.dib;*.gif;*.png;*.jpeg;*jpg;*.jpe;*psd;*.tif;*.tiff;*.mng;*."
                              "raw;*.jbig;*.ico;*.webp;*.exif;*.heic;*.heif;*.avif;");
        QTest::newRow("pdf files") << "filter_pdf_name" << QStringLiteral("PDF 文件");
        QTest::newRow("new pdf") << "save_pdf_default_name" << QStringLiteral("NewPDF.pdf");
        QTest::newRow("update notice")
            << "update_notice" << QStringLiteral("检查到软件更新 %s -> %s ,点击更新。");
        QTest::newRow("update offer")
            << "update_offer" << QStringLiteral("软件有更新 %s -> %s ,是否更新？");
        QTest::newRow("downloading") << "update_downloading" << QStringLiteral("正在下载安装包...");
        QTest::newRow("move up") << "menu_move_up" << QStringLiteral("向上移动");
        QTest::newRow("move down") << "menu_move_down" << QStringLiteral("向下移动");
        QTest::newRow("move above") << "menu_move_above" << QStringLiteral("将选中项移动到此项上");
        QTest::newRow("move below") << "menu_move_below" << QStringLiteral("将选中项移动到此项下");
        QTest::newRow("delete") << "menu_delete_items" << QStringLiteral("删除");
        QTest::newRow("done") << "make_status_done" << QStringLiteral("完成");
        QTest::newRow("log begin") << "make_log_begin" << QStringLiteral("%d> 开始生成PDF: %s\r\n");
        QTest::newRow("log file") << "make_log_file" << QStringLiteral("%d> 添加文件: %s\r\n");
        QTest::newRow("log end") << "make_log_end" << QStringLiteral("%d> PDF完成\r\n");
        QTest::newRow("log error") << "make_log_error" << QStringLiteral("\r\n%d> %s\r\n\r\n");
        QTest::newRow("verb") << "context_menu_verb" << QStringLiteral("使用VelmarFolimo");
    }

    void strings() {
        QFETCH(QString, name);
        QFETCH(QString, text);
        static QHash<QString, QString> table;
        if (table.isEmpty()) {
            QFile file(":/values/strings.xml");
            QVERIFY(file.open(QIODevice::ReadOnly));
            QXmlStreamReader xml(&file);
            QVERIFY(xml.readNextStartElement());
            QCOMPARE(xml.name().toString(), QStringLiteral("strings"));
            while (xml.readNextStartElement()) {
                QCOMPARE(xml.name().toString(), QStringLiteral("string"));
                const QString key = xml.attributes().value("name").toString();
                QVERIFY(!key.isEmpty());
                QVERIFY2(!table.contains(key), qPrintable(key + " twice"));
                const QString value = xml.readElementText();
                QVERIFY2(!value.isEmpty(), qPrintable(key + " is empty"));
                table.insert(key, value);
            }
            QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        }
        QVERIFY2(table.contains(name), qPrintable(name + " is missing"));
        QCOMPARE(table.value(name), text);
    }

    void colors() {
        QFile file(":/values/colors.xml");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        QVERIFY(xml.readNextStartElement());
        QCOMPARE(xml.name().toString(), QStringLiteral("colors"));
        const QRegularExpression rgba("^#[0-9a-fA-F]{8}$");
        QSet<QString> names;
        while (xml.readNextStartElement()) {
            QCOMPARE(xml.name().toString(), QStringLiteral("color"));
            const QString name = xml.attributes().value("name").toString();
            const QString value = xml.attributes().value("value").toString();
            QVERIFY(!name.isEmpty());
            QVERIFY2(!names.contains(name), qPrintable(name + " twice"));
            names.insert(name);
            QVERIFY2(rgba.match(value).hasMatch(), qPrintable(name + " = " + value));
            xml.skipCurrentElement();
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        // The row colours of readable and unreadable files.
        QVERIFY(names.contains("list_text"));
        QVERIFY(names.contains("list_text_error"));
        for (int i = 1; i <= 16; ++i)
            QVERIFY(names.contains(QStringLiteral("custom_color_%1").arg(i, 2, 10, QChar('0'))));
    }

    void renders_data() {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QSize>("size");
        for (const Window& w : windows())
            QTest::newRow(w.layout) << QString::fromLatin1(w.layout) << w.size;
    }

    void renders() {
        QFETCH(QString, layout);
        QFETCH(QSize, size);
        QWidget* root = window(layout);
        QVERIFY(root);
        const QDir artifacts(artifactsFolder());
        if (layout == QLatin1String("XML_LISTITEM")) {
            // The template is empty until the list fills a row; show it with one.
            const std::pair<const char*, QString> row[] = {
                {"txt_number", "1"},
                {"txt_name", QStringLiteral("photo.jpg")},
                {"txt_path", QStringLiteral("/home/user/图片/photo.jpg")},
                {"txt_dpi", "72"},
                {"txt_size", QStringLiteral("1920 × 1080")},
                {"txt_create_time", "2024/01/01 10:00:00"},
                {"txt_change_time", "2024/01/02 08:30:00"},
            };
            for (const auto& [name, value] : row)
                root->findChild<QLabel*>(name)->setText(value);
            root->findChild<QLabel*>("img_icon")->setPixmap(QPixmap(":/image/make.png"));
        }
        const QPixmap picture = render(root, size);
        QVERIFY(!picture.isNull());
        QCOMPARE(picture.deviceIndependentSize().toSize(), size);
        QVERIFY(picture.save(artifacts.filePath("layout-" + layout + ".png")));
        if (layout == QLatin1String("XML_MAINWND")) {
            // The update notice line, as the window shows it when a newer version exists.
            auto* link = root->findChild<QLabel*>("link_bt_tip");
            link->setText(QStringLiteral("<a href=\"https://example.invalid/\">检查到软件更新 "
                                         "1.0.0.1 -> 1.2.0.0 ,点击更新。</a>"));
            QWidget* notice = root->findChild<QWidget*>("wnd_status_tip");
            notice->show();
            QVERIFY(render(root, size).save(artifacts.filePath("layout-XML_MAINWND-notice.png")));
            notice->hide();
        }
        // Windows with pages: one picture per page.
        for (QTabWidget* tabs : root->findChildren<QTabWidget*>()) {
            for (int page = 0; page < tabs->count(); ++page) {
                tabs->setCurrentIndex(page);
                const QPixmap pagePicture = render(root, size);
                QVERIFY(pagePicture.save(
                    artifacts.filePath(QStringLiteral("layout-%1-%2.png").arg(layout).arg(page))));
            }
            tabs->setCurrentIndex(0);
        }
        // Every control the window's code uses has room on screen, unless it starts hidden.
        for (const Control& c : requiredControls().at(layout)) {
            QWidget* w = root->findChild<QWidget*>(c.name);
            QVERIFY(w);
            if (!w->isVisibleTo(root))
                continue;
            QVERIFY2(
                w->width() > 0 && w->height() > 0,
                qPrintable(
                    QStringLiteral("%1 is %2x%3").arg(c.name).arg(w->width()).arg(w->height())));
        }
        root->hide();
    }
};

QTEST_MAIN(LayoutsTest)
#include "tst_layouts.moc"
