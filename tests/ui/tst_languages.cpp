// Every window in the languages the program speaks: the English catalogue leaves no
// Chinese on screen, a Chinese desktop sees the texts exactly as written, and the
// desktop's language preferences pick the catalogue.
#include "CAboutDialog.h"
#include "CMainDlg.h"
#include "CMakeDialog.h"
#include "CSettingsDialog.h"
#include "CUpdateDialog.h"
#include "FileDialogs.h"
#include "Menus.h"
#include "PersonAtKeyboard.h"
#include "ProgramControls.h"
#include "SMCListViewEx.h"

#include <ConversionProgress.h>
#include <ImageList.h>
#include <InterfaceLanguage.h>
#include <SettingsStore.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProcess>
#include <QProgressBar>
#include <QRegularExpression>
#include <QResource>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <functional>
#include <map>

using namespace folimo;
using namespace folimo::ui;

namespace {

const QString catalogues = QStringLiteral(":/i18n");

// The texts a person can meet in a window, whether or not its page is showing now.
QStringList visibleTexts(QWidget* window) {
    QStringList texts{window->windowTitle()};
    QList<QWidget*> widgets = window->findChildren<QWidget*>();
    widgets.prepend(window);
    for (QWidget* w : widgets) {
        texts << w->toolTip() << w->accessibleName() << w->accessibleDescription();
        if (auto* label = qobject_cast<QLabel*>(w))
            texts << label->text();
        if (auto* button = qobject_cast<QAbstractButton*>(w))
            texts << button->text();
        if (auto* edit = qobject_cast<QLineEdit*>(w))
            texts << edit->placeholderText() << edit->text();
        if (auto* box = qobject_cast<QGroupBox*>(w))
            texts << box->title();
        if (auto* text = qobject_cast<QTextEdit*>(w))
            texts << text->toPlainText();
        if (auto* bar = qobject_cast<QProgressBar*>(w))
            texts << bar->text();
        if (auto* combo = qobject_cast<QComboBox*>(w))
            for (int i = 0; i < combo->count(); ++i)
                texts << combo->itemText(i);
        if (auto* tabs = qobject_cast<QTabWidget*>(w))
            for (int i = 0; i < tabs->count(); ++i)
                texts << tabs->tabText(i);
        if (auto* list = qobject_cast<QListWidget*>(w))
            for (int i = 0; i < list->count(); ++i)
                texts << list->item(i)->text();
        if (auto* header = qobject_cast<QHeaderView*>(w); header && header->model())
            for (int i = 0; i < header->count(); ++i)
                texts << header->model()->headerData(i, header->orientation()).toString();
    }
    for (QAction* action : window->findChildren<QAction*>())
        texts << action->text() << action->toolTip();
    texts.removeAll(QString());
    return texts;
}

QStringList menuTexts(QMenu* menu) {
    QStringList texts{menu->title()};
    for (QAction* action : menu->actions()) {
        texts << action->text();
        if (action->menu())
            texts << menuTexts(action->menu());
    }
    texts.removeAll(QString());
    return texts;
}

void makePicture(const QString& path) {
    QCOMPARE(QProcess::execute("convert", {"-size", "40x30", "xc:teal", path}), 0);
}

} // namespace

class LanguagesTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void desktopPreferencesPickTheLanguage_data();
    void desktopPreferencesPickTheLanguage();
    void everyWindowSpeaksTheChosenLanguage();

private:
    QTemporaryDir dir_;
    std::unique_ptr<test::PersonAtKeyboard> person_;

    // Every window's texts by window, with a picture of each in the artifacts folder.
    std::map<QString, QStringList> walkWindows(const QString& language);
    void shoot(QWidget* window, const QString& language, const QString& name);
    template <class Dialog>
    QStringList openDialog(Dialog& dialog, const QString& language, const QString& name,
                           const std::function<void()>& prepare = {});
};

void LanguagesTest::initTestCase() {
    QVERIFY(QResource::registerResource(QStringLiteral(FOLIMO_UIRES_PATH)));
    registerProgramControls();
    qputenv("XDG_CONFIG_HOME", dir_.filePath("config").toUtf8());
    SetPdfFolder(dir_.filePath("out").toStdWString());
    person_ = std::make_unique<test::PersonAtKeyboard>();
    makePicture(dir_.filePath("beach.png"));
    makePicture(dir_.filePath("harbour.png"));
}

void LanguagesTest::cleanupTestCase() {
    person_.reset();
}

void LanguagesTest::desktopPreferencesPickTheLanguage_data() {
    QTest::addColumn<QStringList>("preferred");
    QTest::addColumn<QStringList>("catalogues");
    QTest::addColumn<QString>("language");
    const QStringList en{"en"}, several{"en", "pt_BR", "de"};
    QTest::newRow("English") << QStringList{"en-US", "en-Latn-US", "en"} << en << "en";
    QTest::newRow("simplified Chinese") << QStringList{"zh-CN", "zh-Hans-CN", "zh"} << en << "zh";
    QTest::newRow("traditional Chinese") << QStringList{"zh-TW", "zh-Hant-TW"} << en << "zh";
    QTest::newRow("C locale") << QStringList{"C"} << en << "en";
    QTest::newRow("nothing known") << QStringList{} << en << "en";
    QTest::newRow("a language we lack") << QStringList{"fr-FR", "fr"} << en << "en";
    QTest::newRow("LANGUAGE=fr:zh_CN") << QStringList{"fr", "fr-FR", "zh-CN"} << en << "zh";
    QTest::newRow("LANGUAGE=de:zh_CN") << QStringList{"de", "de-DE", "zh-CN"} << several << "de";
    QTest::newRow("region first") << QStringList{"pt-BR", "pt"} << several << "pt_BR";
    QTest::newRow("region we lack") << QStringList{"pt-PT", "pt"} << QStringList{"pt_BR"} << "en";
    QTest::newRow("no catalogue") << QStringList{"en-GB"} << QStringList{} << "en";
}

void LanguagesTest::desktopPreferencesPickTheLanguage() {
    QFETCH(QStringList, preferred);
    QFETCH(QStringList, catalogues);
    QFETCH(QString, language);
    QCOMPARE(ChooseInterfaceLanguage(preferred, catalogues), language);
}

void LanguagesTest::shoot(QWidget* window, const QString& language, const QString& name) {
    if (language.isEmpty())
        return;
    QString folder = qEnvironmentVariable("FOLIMO_ARTIFACTS");
    if (folder.isEmpty())
        folder = QDir::temp().filePath("folimo-artifacts");
    QVERIFY(QDir().mkpath(folder));
    QCoreApplication::sendPostedEvents();
    QVERIFY(window->grab().save(
        QDir(folder).filePath(QStringLiteral("language-%1-%2.png").arg(language, name))));
}

template <class Dialog>
QStringList LanguagesTest::openDialog(Dialog& dialog, const QString& language, const QString& name,
                                      const std::function<void()>& prepare) {
    QStringList texts;
    QTimer::singleShot(0, &dialog, [&] {
        if (prepare)
            prepare();
        texts = visibleTexts(&dialog);
        // Every page of a window with pages gets its picture.
        auto* tabs = dialog.template findChild<QTabWidget*>();
        for (int page = 0; page < (tabs ? tabs->count() : 1); ++page) {
            if (tabs)
                tabs->setCurrentIndex(page);
            shoot(&dialog, language, name + (tabs ? QString::number(page) : QString()));
        }
        dialog.reject();
    });
    dialog.exec();
    return texts;
}

std::map<QString, QStringList> LanguagesTest::walkWindows(const QString& language) {
    std::map<QString, QStringList> texts;
    person_->boxTexts.clear();
    CMainDlg main;
    main.resize(1100, 640);
    main.show();
    // The commands that only speak on an empty list, then a list with rows to show.
    for (QAction* action : main.findChildren<QAction*>(Qt::FindDirectChildrenOnly))
        if (action->data().toInt() == CmdMakeOne || action->data().toInt() == CmdMakeBesideImages)
            action->trigger();
    main.findChild<QAbstractButton*>("btn_delete")->click();
    texts["messages"] = person_->boxTexts;
    SFileListAdapter* list = main.ImageList();
    for (const char* name : {"beach.png", "harbour.png"})
        list->AddImageFile(dir_.filePath(name).toStdWString());
    list->NotifyChanged();
    QTest::qWait(300);
    texts["XML_MAINWND"] = visibleTexts(&main);
    shoot(&main, language, "main");

    for (const char* menu :
         {"SMENU:MENU_ADD", "SMENU:MENU_DELETE", "SMENU:MENU_MAIN", "SMENU:MENU_MAKE"}) {
        const std::unique_ptr<QMenu> loaded = LoadMenu(QString::fromLatin1(menu));
        texts[menu] = loaded ? menuTexts(loaded.get()) : QStringList{"missing"};
    }
    // The list's own menu, as a right click on its first row offers it.
    person_->chooseInMenus([&](QMenu* menu) {
        texts["MENUEX_IMAGE_LIST"] = menuTexts(menu);
        return 0;
    });
    auto* view = main.findChild<SMCListViewEx*>("mclv_list");
    view->SetSel(1);
    emit view->customContextMenuRequested(view->GetItemRect(0).center());
    person_->chooseInMenus(0);

    void* made = nullptr;
    CreateObject(FOLIMO_ENGINE, &made);
    auto* engine = static_cast<IFolimo*>(made);
    // Languages with and without their data, and no orientation data for the upright box.
    SetChosenTextLanguages(L"eng+chi_sim+kor");
    CSettingsDialog settingsDialog(engine ? engine->GetSettings() : nullptr, nullptr,
                                   QStringLiteral("chi_sim+chi_tra+eng"));
    texts["XML_SETTINGSWND"] = openDialog(settingsDialog, language, "settings");

    // A run as the progress window shows it: a document, a file, a file the engine could
    // not read (told with its code, the engine's own text beside it), the end.
    ConversionProgress progress(2);
    progress.OnBegin(L"/tmp/out/beach.pdf");
    progress.OnFile(L"/tmp/in/beach.png", 1);
    progress.OnErrorCode(FOLIMO_ERROR_INPUT, L"/tmp/in/broken.png", L"not a picture",
                         L"Error: 图片文件无法加载 /tmp/in/broken.png :not a picture");
    progress.OnFile(L"/tmp/in/broken.png", 0);
    // A page whose text was not recognised, and a language without its data.
    progress.OnPageText(1, L"/tmp/in/beach.png", 0, -1, 0);
    progress.OnErrorCode(FOLIMO_ERROR_TEXT_DATA, L"chi_sim", L"tesseract-ocr-chi-sim",
                         L"Error: chi_sim");
    progress.OnDocumentEnd(FOLIMO_DOCUMENT_WRITTEN, 1, L"/tmp/out/beach.pdf");
    progress.OnEnd();
    progress.OnNotify();
    CMakeDialog make(progress);
    texts["XML_MAKEWND"] = openDialog(make, language, "progress", [] { QTest::qWait(400); });

    UpdateQueryOptions offline;
    offline.server = L"127.0.0.1:9";
    offline.answerDelay = std::chrono::milliseconds(0);
    CUpdateDialog update(nullptr, offline);
    // The refused query's answer changes what the window says: read it once it came, or
    // the two walks would compare a window before its answer with one after.
    texts["XML_UPDATE"] = openDialog(update, language, "update", [&] {
        (void)QTest::qWaitFor([&] { return update.CurrentPage() == CUpdateDialog::PageNoUpdate; },
                              20000);
    });
    CAboutDialog about;
    texts["XML_ABOUTWND"] = openDialog(about, language, "about");
    if (engine)
        engine->Release();
    return texts;
}

void LanguagesTest::everyWindowSpeaksTheChosenLanguage() {
    static const QRegularExpression chinese(QStringLiteral("[\\x{3000}-\\x{303f}\\x{4e00}-"
                                                           "\\x{9fff}\\x{ff00}-\\x{ffef}]"));
    // As written: no catalogue of ours at all.
    const std::map<QString, QStringList> written = walkWindows(QString());
    QVERIFY(!written.empty());

    const QString chosenChinese =
        ChooseInterfaceLanguage({"zh-CN"}, CatalogueLanguages(catalogues));
    QStringList failures;
    {
        const InterfaceTranslation translation(chosenChinese, catalogues);
        const std::map<QString, QStringList> shown = walkWindows(QStringLiteral("zh_CN"));
        for (const auto& [window, texts] : written) {
            // Every text as written is shown as written; Qt's own (a tab bar's scroll
            // buttons) come in Qt's Chinese, and the list's rows fill in when read.
            const auto own = [](const QStringList& all) {
                QSet<QString> chineseTexts;
                for (const QString& text : all)
                    if (text.contains(chinese))
                        chineseTexts.insert(text);
                return chineseTexts;
            };
            const QStringList& now = shown.at(window);
            if (!QSet<QString>(now.begin(), now.end()).contains(own(texts)))
                failures << window + " in Chinese differs from its texts as written";
        }
    }

    const QString english =
        ChooseInterfaceLanguage({"en-US", "en"}, CatalogueLanguages(catalogues));
    QCOMPARE(english, QStringLiteral("en"));
    QString error;
    const InterfaceTranslation translation(english, catalogues, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const std::map<QString, QStringList> shown = walkWindows(QStringLiteral("en_US"));
    QCOMPARE(shown.size(), written.size());
    for (const auto& [window, texts] : shown) {
        QVERIFY2(!texts.isEmpty(), qPrintable(window));
        for (const QString& text : texts)
            if (text.contains(chinese))
                failures << window + " in English shows: " + text;
        // A window that has texts of its own to translate shows them translated.
        if (written.at(window).join(' ').contains(chinese))
            QVERIFY2(texts != written.at(window), qPrintable(window));
    }
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
}

QTEST_MAIN(LanguagesTest)
#include "tst_languages.moc"
