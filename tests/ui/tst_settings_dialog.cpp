// The settings window as a person uses it: what it shows, what confirming stores and
// what it leaves alone, the ways of closing it, the choosers, the verb failing, the
// page-size captions against the pages the engine makes, and the keyboard.
#include "CSettingsDialog.h"
#include "PersonAtKeyboard.h"
#include "ProgramControls.h"
#include "SettingsStore.h"
#include "ShellIntegration.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QRegularExpression>
#include <QResource>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace folimo;
using namespace folimo::ui;

namespace {

// "name=value|name=value" as pairs.
QList<QStringList> pairs(const QString& spec) {
    QList<QStringList> out;
    for (const QString& pair : spec.split('|', Qt::SkipEmptyParts))
        out << QStringList{pair.section('=', 0, 0), pair.section('=', 1)};
    return out;
}

// What a control shows: "1"/"0" for a box, the selected index of a list, a swatch's
// colour.
QString shown(QWidget* root, const QString& name) {
    QWidget* control = root->findChild<QWidget*>(name);
    if (auto* edit = qobject_cast<QLineEdit*>(control))
        return edit->text();
    if (auto* number = qobject_cast<QSpinBox*>(control))
        return QString::number(number->value());
    if (auto* box = qobject_cast<QCheckBox*>(control))
        return QString::number(box->isChecked());
    if (auto* list = qobject_cast<QComboBox*>(control))
        return QString::number(list->currentIndex());
    return control ? control->property("colorBkgnd").toString() : "no " + name;
}

// Numbers are typed over what the box shows, key by key, as a person types them.
void change(QWidget* root, const QString& name, const QString& to) {
    QWidget* control = root->findChild<QWidget*>(name);
    if (auto* edit = qobject_cast<QLineEdit*>(control))
        edit->setText(to);
    else if (auto* number = qobject_cast<QSpinBox*>(control)) {
        number->selectAll();
        QTest::keyClick(number, Qt::Key_Delete);
        QTest::keyClicks(number, to);
    } else if (auto* box = qobject_cast<QCheckBox*>(control))
        box->setChecked(to == "1");
    else if (auto* list = qobject_cast<QComboBox*>(control))
        list->setCurrentIndex(to.toInt());
}

QMap<QString, QString> stored() {
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Velmar", "Folimo");
    QMap<QString, QString> values;
    for (const QString& key : store.allKeys())
        values[key.section('/', -1)] = store.value(key).toString();
    return values;
}

} // namespace

class SettingsDialogTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup() { record_->Release(); }
    void openingShowsTheStoredValues();
    void confirmingStoresWhatWasTypedAndNothingElse();
    void everyValueComesBackAfterARestart();
    void numberBoxesTakeOnlyWhatTheStoreLoads();
    void choosersFillTheirControls();
    void aFailingVerbIsToldAndTheRestStillApplied();
    void pageSizeCaptionsTellThePagesTheEngineMakes();
    void everyControlIsNamedAndTabFollowsReadingOrder();
    void recognitionTabShowsTheInstalledDataAndStoresTheChoice_data();
    void recognitionTabShowsTheInstalledDataAndStoresTheChoice();

private:
    // Opens the window on record_, lets `act` use it, then ends it with `end` ("escape",
    // "close" or a button's name) and answers how it ended.
    int run(const QString& end, const std::function<void(CSettingsDialog&)>& act) {
        CSettingsDialog dialog(record_, nullptr, textData_);
        QTimer::singleShot(0, &dialog, [&] {
            act(dialog);
            if (end == "escape")
                QTest::keyClick(&dialog, Qt::Key_Escape);
            else if (end == "close")
                dialog.close();
            else
                dialog.findChild<QAbstractButton*>(end)->click();
        });
        return dialog.exec();
    }
    int type(const QString& edits, const QString& end = "btn_ok") {
        return run(end, [&](CSettingsDialog& dialog) {
            for (const QStringList& edit : pairs(edits))
                change(&dialog, edit[0], edit[1]);
        });
    }
    void restart() {
        cleanup();
        init();
    }

    QTemporaryDir dir_;
    QString textData_; // the recognition data the window is told is installed
    IFolimoSettings* record_ = nullptr;
    test::PersonAtKeyboard person_;
};

void SettingsDialogTest::initTestCase() {
    QVERIFY(QResource::registerResource(QStringLiteral(FOLIMO_UIRES_PATH)));
    registerProgramControls();
    qputenv("XDG_CONFIG_HOME", dir_.filePath("config").toUtf8());
}

// A fresh start: an empty store, no verb, the record as the main window loads it.
void SettingsDialogTest::init() {
    QSettings(QSettings::NativeFormat, QSettings::UserScope, "Velmar", "Folimo").clear();
    QDir(dir_.filePath("data")).removeRecursively();
    qputenv("XDG_DATA_HOME", dir_.filePath("data").toUtf8());
    person_.boxTexts.clear();
    person_.boxCaptions.clear();
    textData_.clear();
    void* made = nullptr;
    CreateObject(FOLIMO_SETTINGS, &made);
    record_ = static_cast<IFolimoSettings*>(made);
    LoadEngineSettings(record_);
}

void SettingsDialogTest::openingShowsTheStoredValues() {
    SetShowAd(0);
    record_->SetDefaultImageEncode(4);
    record_->SetImageMaxSize(640, -1);
    record_->SetPageSize(7);
    auto* text = static_cast<ITextWatermark*>(record_->GetWatermark(0));
    text->SetOpacity(60);
    text->SetColor(0x00c86419);
    run("btn_cancel", [](CSettingsDialog& dialog) {
        for (const QStringList& expected :
             pairs("check_show_ad=1|check_move_item_sort=1|cbx_image_default_code=3|"
                   "edit_jpeg_ratio=30|edit_image_maxx=640|edit_image_maxy=-1|cbx_page_size=7|"
                   "edit_font_size=20|edit_text_opcity=40|div_text_color=#1964c8|"
                   "edit_image_opcity=0"))
            QCOMPARE(shown(&dialog, expected[0]), expected[1]);
    });
    // Without the two watermarks their controls stay empty and change nothing.
    record_->RemoveWatermark(1);
    QCOMPARE(type("edit_text_opcity=30"), int(QDialog::Accepted));
    QCOMPARE(text->GetOpacity(), 60);
}

void SettingsDialogTest::confirmingStoresWhatWasTypedAndNothingElse() {
    const QString typed = "edit_dpi=300|check_show_ad=1|check_context_menu=1";
    const struct {
        QString edits;
        QString stored; // "-" where nothing may be written
        const char* end = "btn_ok";
    } cases[] = {
        {"", // unchanged: only the record is written again
         "ShowAD=-|MoveItemReSort=-|PDFPath=-|PageSize=0|PDFCreator=Velmar-Folimo|"
         "WaterFontSize=20|WaterTranslucence=100"},
        {"edit_dpi=12abc|edit_jpeg_ratio=|edit_image_maxx= 800px",
         "DPI=12|JpepPercent=30|ImageMaxX=800|ImageMaxY=0"}, // emptied: the last number
        {"edit_text_opcity=30|edit_image_opcity=+25|edit_font_size=36",
         "WaterTranslucence=70|WaterImageOpcity=75|WaterFontSize=36"},
        {"edit_page_margin_left=15|edit_page_margin_top=-4|cbx_page_size=4|check_rung_page=1|"
         "cbx_image_default_code=2|check_show_ad=1|check_move_item_sort=0",
         "MearginLeft=15|MearginTop=4|PageSize=4|RotatePage=1|DefaultImageEncode=3|ShowAD=0|"
         "MoveItemReSort=0"},
        {"edit_pdf_title=标题 1|edit_pdf_path=/out|edit_image_path=/p/logo.png",
         "PDFTitle=标题 1|PDFPath=/out|WaterImage=/p/logo.png"},
        {typed, "DPI=-|ShowAD=-", "btn_cancel"},
        {typed, "DPI=-|ShowAD=-", "escape"},
        {typed, "DPI=-|ShowAD=-", "close"},
    };
    for (const auto& c : cases) {
        const bool confirmed = c.end == QLatin1String("btn_ok");
        if (&c != cases)
            restart();
        QCOMPARE(type(c.edits, c.end), confirmed ? int(QDialog::Accepted) : int(QDialog::Rejected));
        const QMap<QString, QString> values = stored();
        for (const QStringList& expected : pairs(c.stored))
            QVERIFY2(values.value(expected[0], "-") == expected[1],
                     qPrintable(c.edits + ": " + expected[0]));
        QCOMPARE(values.isEmpty(), !confirmed);
        QCOMPARE(record_->GetDpi(), values.value("DPI", "0").toInt());
        QCOMPARE(record_->GetMargin(FOLIMO_MARGIN_RIGHT), record_->GetMargin(FOLIMO_MARGIN_LEFT));
        QCOMPARE(record_->GetMargin(FOLIMO_MARGIN_BOTTOM), record_->GetMargin(FOLIMO_MARGIN_TOP));
        QVERIFY(person_.boxTexts.isEmpty() && !QDir(dir_.filePath("data")).exists()); // no verb
    }
}

// Every control changed from what a fresh store shows, confirmed, and read back by a
// new record from the store, as the program does at its next start.
void SettingsDialogTest::everyValueComesBackAfterARestart() {
    QString edits = "edit_pdf_path=" + dir_.filePath("pdfs") +
                    "|edit_pdf_title=标题|edit_pdf_subject=主题|edit_pdf_writer=作者|"
                    "edit_pdf_creator=制作者|edit_pdf_keywords=a, b|cbx_image_code=2|"
                    "cbx_image_default_code=3|edit_jpeg_ratio=75|edit_image_maxx=1600|"
                    "edit_image_maxy=1200|edit_dpi=150|cbx_page_size=5|"
                    "edit_page_margin_left=20|edit_page_margin_top=30|edit_text=机密|"
                    "edit_font_size=36|edit_text_opcity=25|edit_text_pos_x=10|"
                    "edit_text_pos_y=20|edit_image_path=/tmp/logo.png|edit_image_pos_x=5|"
                    "edit_image_pos_y=6|edit_image_opcity=40";
    const QStringList checks{"check_show_ad",         "check_move_item_sort", "check_add_bookmark",
                             "check_rung_page",       "check_double_page",    "check_img_in_page",
                             "check_img_auto_rotate", "check_context_menu"};
    run("btn_cancel", [&](CSettingsDialog& dialog) {
        for (const QString& check : checks)
            edits += "|" + check + "=" + (shown(&dialog, check) == "1" ? "0" : "1");
        for (const QStringList& edit : pairs(edits))
            QVERIFY2(shown(&dialog, edit[0]) != edit[1], qPrintable(edit[0]));
    });
    QCOMPARE(type(edits), int(QDialog::Accepted));
    record_->Release(); // the store stays: a new record reads it as the next start does
    void* made = nullptr;
    CreateObject(FOLIMO_SETTINGS, &made);
    record_ = static_cast<IFolimoSettings*>(made);
    LoadEngineSettings(record_);
    run("btn_cancel", [&](CSettingsDialog& dialog) {
        for (const QStringList& edit : pairs(edits))
            QVERIFY2(shown(&dialog, edit[0]) == edit[1],
                     qPrintable(edit[0] + " shows " + shown(&dialog, edit[0])));
    });
}

// Each number box offers the range its stored value loads with, and what a person types
// beyond it (letters, a sign, too many digits) never reaches the store.
void SettingsDialogTest::numberBoxesTakeOnlyWhatTheStoreLoads() {
    const struct {
        const char* box;
        const wchar_t* stored;
        QString typed;
        QString shown;
        bool transparency = false;
    } cases[] = {
        {"edit_jpeg_ratio", L"JpepPercent", "abc", "30"},
        {"edit_jpeg_ratio", L"JpepPercent", "150", "15"},
        {"edit_jpeg_ratio", L"JpepPercent", "1000", "100"},
        {"edit_image_maxx", L"ImageMaxX", "-1", "-1"},
        {"edit_image_maxy", L"ImageMaxY", "-7", "0"},
        {"edit_dpi", L"DPI", "12abc", "12"},
        {"edit_page_margin_left", L"MearginLeft", "-20", "20"},
        {"edit_page_margin_top", L"MearginTop", "x", "0"},
        {"edit_font_size", L"WaterFontSize", "-3", "3"},
        {"edit_text_opcity", L"WaterTranslucence", "250", "25", true},
        {"edit_image_opcity", L"WaterImageOpcity", "-5", "5", true},
        {"edit_text_pos_x", L"WaterPosX", "-40", "-40"},
        {"edit_text_pos_y", L"WaterPosY", "7", "7"},
        {"edit_image_pos_x", L"WaterImageX", "8", "8"},
        {"edit_image_pos_y", L"WaterImageY", "9", "9"},
    };
    for (const auto& c : cases) {
        const StoredRange range = StoredNumberRange(c.stored);
        QString typedAs;
        QCOMPARE(run("btn_ok",
                     [&](CSettingsDialog& dialog) {
                         auto* box = dialog.findChild<QSpinBox*>(c.box);
                         QCOMPARE(box->minimum(), c.transparency ? 100 - range.most : range.least);
                         QCOMPARE(box->maximum(), c.transparency ? 100 - range.least : range.most);
                         change(&dialog, c.box, c.typed);
                         typedAs = shown(&dialog, c.box);
                     }),
                 int(QDialog::Accepted));
        QCOMPARE(typedAs, c.shown);
        const int value = stored().value(QString::fromWCharArray(c.stored)).toInt();
        QCOMPARE(value, c.transparency ? 100 - c.shown.toInt() : c.shown.toInt());
    }
}

void SettingsDialogTest::choosersFillTheirControls() {
    BrowseForFolder(nullptr, {}, "/main/window/start"); // cancelled: no answer
    const struct {
        const char* button;
        QStringList answer;
        const char* control;
        QString shown;
    } cases[] = {
        {"btn_browse", {"/pdfs"}, "edit_pdf_path", "/pdfs"},
        {"btn_text_color", {"#1964c8"}, "div_text_color", "#1964c8"},
        {"btn_text_color", {}, "div_text_color", "#1964c8"}, // cancelled
        {"bt_image_path", {"/p/logo.png"}, "edit_image_path", "/p/logo.png"},
    };
    person_.choosers.clear();
    run("btn_ok", [&](CSettingsDialog& dialog) {
        for (const auto& c : cases) {
            person_.chooseFiles(c.answer);
            dialog.findChild<QAbstractButton*>(c.button)->click();
            QCOMPARE(shown(&dialog, c.control), c.shown);
        }
    });
    QCOMPARE(person_.choosers.size(), 4);
    QCOMPARE(person_.choosers[0].title, QStringLiteral("请选择保存PDF文件的目录"));
    QCOMPARE(person_.choosers[0].startAt, QString("/main/window/start"));
    QStringList custom;
    for (const QColor& color : person_.choosers[1].customColors)
        custom << color.name();
    QCOMPARE(custom.join(' '), "#ff0000 #00ff00 #0000ff #ffff00 #ff00ff #ffffff #321400 #1964c8 "
                               "#501023 #ffc714 #2c2d20 #16c8be #9b0000 #323232 #9b0c5a #64c800");
    QCOMPARE(person_.choosers[2].startAt, QString("#1964c8")); // it opens at the colour shown
    QCOMPARE(person_.choosers[3].kind, ChooserKind::OpenFile);
    QCOMPARE(person_.choosers[3].filters.value(0), QStringLiteral("所有文件 (*.*)"));
    QVERIFY(person_.choosers[3].filters.value(1).startsWith(
        QStringLiteral("所有图片文件 (*.bmp *.BMP")));
    QVERIFY(person_.choosers[3].filters.value(1).contains(" *jpg *JPG "));
    const QMap<QString, QString> values = stored();
    QCOMPARE(values.value("WaterColor"), QString::number(0xc86419));
    QCOMPARE(values.value("WaterImage") + values.value("PDFPath"), QString("/p/logo.png/pdfs"));
}

void SettingsDialogTest::aFailingVerbIsToldAndTheRestStillApplied() {
    QCOMPARE(type("check_context_menu=1"), int(QDialog::Accepted));
    QCOMPARE(IsContextMenuRegistered(), 1);
    QCOMPARE(type("check_context_menu=0"), int(QDialog::Accepted));
    QCOMPARE(IsContextMenuRegistered(), 0);
    QVERIFY(person_.boxTexts.isEmpty());
    // A file where the data folder should be: no entry can be written, even by root.
    QFile blocker(dir_.filePath("blocked"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    qputenv("XDG_DATA_HOME", blocker.fileName().toUtf8());
    QCOMPARE(type("check_context_menu=1|edit_dpi=150"), int(QDialog::Accepted));
    QCOMPARE(person_.boxCaptions, QStringList{"VelmarFolimo"});
    QCOMPARE(person_.boxTexts, QStringList{"请使用管理员权限打开后设置系统右键菜单"});
    QCOMPARE(stored().value("DPI"), QString("150"));
}

void SettingsDialogTest::pageSizeCaptionsTellThePagesTheEngineMakes() {
    QStringList captions;
    run("btn_cancel", [&](CSettingsDialog& dialog) {
        for (const char* name : {"cbx_page_size", "cbx_image_code", "cbx_image_default_code"})
            for (int code = 0; code < dialog.findChild<QComboBox*>(name)->count(); ++code)
                captions << dialog.findChild<QComboBox*>(name)->itemText(code);
    });
    QCOMPARE(captions.size(), 12 + 6 + 5);
    QVERIFY(!captions[0].contains(QStringLiteral("毫米")));
    const QString picture = dir_.filePath("dot.png");
    QCOMPARE(QProcess::execute("convert", {"-size", "10x10", "xc:red", picture}), 0);
    void* made = nullptr;
    CreateObject(FOLIMO_ENGINE, &made);
    auto* engine = static_cast<IFolimo*>(made);
    engine->AddFile(picture.toStdWString().c_str(), 0);
    for (int code = 1; code < 12; ++code) {
        engine->GetSettings()->SetPageSize(code);
        const QString pdf = dir_.filePath(QString("page%1.pdf").arg(code));
        QCOMPARE(engine->Convert(pdf.toStdWString().c_str(), nullptr), 1);
        QProcess info;
        info.start("pdfinfo", {pdf});
        QVERIFY(info.waitForFinished());
        const QRegularExpressionMatch page =
            QRegularExpression("size: +([\\d.]+) x ([\\d.]+) pts")
                .match(QString::fromUtf8(info.readAllStandardOutput()));
        const auto mm = [&](int n) {
            return QString::number(qRound(page.captured(n).toDouble() / 72 * 25.4));
        };
        QCOMPARE(captions[code].section('(', 1), mm(1) + " × " + mm(2) + " 毫米)");
    }
    engine->Release();
}

void SettingsDialogTest::everyControlIsNamedAndTabFollowsReadingOrder() {
    run("btn_cancel", [](CSettingsDialog& dialog) {
        auto* tabs = dialog.findChild<QTabWidget*>("tab_settings");
        QList<QWidget*> chain; // the controls in the order Tab visits them
        for (QWidget* w = dialog.nextInFocusChain(); w != &dialog; w = w->nextInFocusChain())
            if ((w->focusPolicy() & Qt::TabFocus) && !w->objectName().startsWith("qt_"))
                chain << w;
        QCOMPARE(chain.last()->objectName(), QString("btn_cancel"));
        for (int page = 0; page < tabs->count(); ++page) {
            tabs->setCurrentIndex(page);
            QRect before;
            for (QWidget* w : chain) {
                QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(w);
                QVERIFY2(!accessible->text(QAccessible::Name).isEmpty(),
                         qPrintable(w->objectName()));
                // An open list is named as the closed one is.
                if (auto* list = qobject_cast<QComboBox*>(w))
                    QCOMPARE(list->view()->accessibleName(), accessible->text(QAccessible::Name));
                if (!tabs->widget(page)->isAncestorOf(w))
                    continue;
                // The next control stands to the right on the same row, or lower down.
                const QRect at(w->mapTo(&dialog, QPoint()), w->size());
                if (before.isValid() && qAbs(at.center().y() - before.center().y()) <= 3)
                    QVERIFY2(at.left() > before.left(), qPrintable(w->objectName()));
                else if (before.isValid())
                    QVERIFY2(at.top() > before.center().y(), qPrintable(w->objectName()));
                before = at;
            }
        }
    });
}

void SettingsDialogTest::recognitionTabShowsTheInstalledDataAndStoresTheChoice_data() {
    QTest::addColumn<QString>("data");       // what GetTextData says is installed
    QTest::addColumn<QString>("before");     // the record's languages as the window opens
    QTest::addColumn<QString>("keys");       // pressed on the tab: "box" the recognition box,
                                             // a number the row of the list, "up" the upright box
    QTest::addColumn<QString>("rows");       // the list as shown, checked rows marked "x "
    QTest::addColumn<QString>("recognized"); // the record's languages after OK
    QTest::addColumn<QString>("chosen");     // the store's languages after OK
    QTest::addColumn<bool>("upright");
    QTest::addColumn<bool>("uprightOffered");
    QTest::addColumn<bool>("missingShown");
    QTest::newRow("switched on with another language") << "chi_sim+eng+osd"
                                                       << ""
                                                       << "box 1 up"
                                                       << "x 英语 (eng)|简体中文 (chi_sim)"
                                                       << "eng+chi_sim"
                                                       << "eng+chi_sim" << true << true << false;
    QTest::newRow("without orientation data") << "eng"
                                              << ""
                                              << "box up"
                                              << "x 英语 (eng)"
                                              << "eng"
                                              << "eng" << false << false << false;
    QTest::newRow("switched off keeps the languages") << "eng+osd"
                                                      << "deu+eng"
                                                      << "box"
                                                      << "x 德语 (deu) - 未安装|x 英语 (eng)"
                                                      << ""
                                                      << "deu+eng" << false << false << false;
    QTest::newRow("nothing installed") << ""
                                       << ""
                                       << ""
                                       << "x 英语 (eng) - 未安装"
                                       << ""
                                       << "eng" << false << false << true;
    QTest::newRow("every language unticked keeps the ones before")
        << "eng+fra"
        << "fra"
        << "0"
        << "x 法语 (fra)|英语 (eng)"
        << "fra"
        << "fra" << false << false << false;
}

void SettingsDialogTest::recognitionTabShowsTheInstalledDataAndStoresTheChoice() {
    QFETCH(QString, data);
    QFETCH(QString, before);
    QFETCH(QString, keys);
    QFETCH(QString, rows);
    textData_ = data;
    // The default languages follow the desktop's; these cases expect a non-Chinese one.
    SetChosenTextLanguages(L"eng");
    record_->SetTextLanguages(before.toStdWString().c_str());
    if (!before.isEmpty())
        SetChosenTextLanguages(before.toStdWString());
    QStringList shownRows;
    bool offered = false, missing = false, listFollows = true;
    QCOMPARE(run("btn_ok",
                 [&](CSettingsDialog& dialog) {
                     auto* tabs = dialog.findChild<QTabWidget*>("tab_settings");
                     auto* box = dialog.findChild<QCheckBox*>("check_recognize_text");
                     auto* list = dialog.findChild<QListWidget*>("list_text_languages");
                     auto* upright = dialog.findChild<QCheckBox*>("check_upright_by_text");
                     QVERIFY(box && list && upright);
                     // The last tab, reached from the first with the keyboard.
                     tabs->setFocus();
                     for (int i = 0; i < tabs->count() - 1; ++i)
                         QTest::keyClick(tabs, Qt::Key_Tab, Qt::ControlModifier);
                     QCOMPARE(tabs->currentWidget()->objectName(), QString("page_text"));
                     QCOMPARE(tabs->tabText(tabs->currentIndex()), QString("文字识别"));
                     for (int row = 0; row < list->count(); ++row)
                         shownRows << (list->item(row)->checkState() == Qt::Checked ? "x " : "") +
                                          list->item(row)->text();
                     missing = !dialog.findChild<QLabel*>("hint_text_data_missing")->isHidden();
                     for (const QString& key : keys.split(' ', Qt::SkipEmptyParts)) {
                         QWidget* target = list;
                         if (key == "box" || key == "up")
                             target = key == "box" ? box : upright;
                         target->setFocus();
                         if (target == list)
                             list->setCurrentRow(key.toInt());
                         QTest::keyClick(target, Qt::Key_Space);
                         listFollows = listFollows && list->isEnabled() == box->isChecked();
                     }
                     offered = upright->isEnabled();
                     QCOMPARE(upright->toolTip().isEmpty(), data.contains("osd"));
                 }),
             int(QDialog::Accepted));
    QCOMPARE(shownRows.join('|'), rows);
    QVERIFY(listFollows);
    QTEST(offered, "uprightOffered");
    QTEST(missing, "missingShown");
    QTEST(QString::fromWCharArray(record_->GetTextLanguages()), "recognized");
    QTEST(record_->GetUprightByText() != 0, "upright");
    QTEST(QString::fromStdWString(GetChosenTextLanguages()), "chosen");
    // What the next start loads.
    void* made = nullptr;
    CreateObject(FOLIMO_SETTINGS, &made);
    auto* next = static_cast<IFolimoSettings*>(made);
    LoadEngineSettings(next);
    const QString loaded = QString::fromWCharArray(next->GetTextLanguages());
    const bool loadedUpright = next->GetUprightByText() != 0;
    next->Release();
    QTEST(loaded, "recognized");
    QTEST(loadedUpright, "upright");
}

QTEST_MAIN(SettingsDialogTest)
#include "tst_settings_dialog.moc"
