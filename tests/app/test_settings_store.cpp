// The stored settings: defaults of an empty store, what loading does to stored values,
// what saving writes, whole texts, stores that cannot be written or were edited by
// hand, and a round trip that crosses into a new process as from one start to the next.
//
// Every test works on a store of its own in a temporary folder, never the user's.
#include "RegistryStore.h"
#include "SettingsStore.h"
#include "TestSupport.h"

#include <folimo/WideText.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace folimo;
using namespace folimo::test;

// Every field of a settings record and of its watermarks, as readable texts.
using Snapshot = std::map<std::string, std::string>;

Snapshot snapshot(IFolimoSettings& s) {
    Snapshot m;
    const char* infoNames[5] = {"title", "subject", "author", "creator", "keywords"};
    for (int i = 0; i < 5; ++i)
        m[infoNames[i]] = toUtf8(s.GetInfo(i));
    int a = 0, b = 0;
    s.GetCustomPageSize(&a, &b);
    m["customSize"] = std::to_string(a) + "x" + std::to_string(b);
    m["pageSize"] = std::to_string(s.GetPageSize());
    for (int side = 0; side < 4; ++side)
        m["margin" + std::to_string(side)] = std::to_string(s.GetMargin(side));
    m["encode"] = std::to_string(s.GetImageEncode());
    m["defaultEncode"] = std::to_string(s.GetDefaultImageEncode());
    m["jpegQuality"] = std::to_string(s.GetJpegQuality());
    s.GetImageMaxSize(&a, &b);
    m["maxWidth"] = std::to_string(a);
    m["maxHeight"] = std::to_string(b);
    m["dpi"] = std::to_string(s.GetDpi());
    m["splitImage"] = std::to_string(s.GetSplitImage());
    m["fillMultiImage"] = std::to_string(s.GetFillMultiImage());
    m["createBookmark"] = std::to_string(s.GetCreateBookmark());
    m["rotatePage"] = std::to_string(s.GetRotatePage());
    m["doublePage"] = std::to_string(s.GetDoublePage());
    m["imageInPage"] = std::to_string(s.GetImageInPage());
    m["imageAutoRotate"] = std::to_string(s.GetImageAutoRotate());
    m["bookmarkText"] = toUtf8(s.GetBookmarkText());
    m["textLanguages"] = toUtf8(s.GetTextLanguages());
    m["uprightByText"] = std::to_string(s.GetUprightByText());
    m["watermarks"] = std::to_string(s.GetWatermarkCount());
    for (int i = 0; i < s.GetWatermarkCount(); ++i) {
        IWatermark* w = s.GetWatermark(i);
        std::string p = "mark" + std::to_string(i) + ".";
        m[p + "type"] = std::to_string(w->GetType());
        w->GetPosition(&a, &b);
        m[p + "x"] = std::to_string(a);
        m[p + "y"] = std::to_string(b);
        m[p + "opacity"] = std::to_string(w->GetOpacity());
        m[p + "angle"] = std::to_string(w->GetAngle());
        m[p + "filter"] = toUtf8(w->GetFileFilter());
        if (w->GetType() == 1) {
            auto* t = static_cast<ITextWatermark*>(w);
            m[p + "text"] = toUtf8(t->GetText());
            m[p + "fontSize"] = std::to_string(t->GetFontSize());
            m[p + "color"] = std::to_string(t->GetColor());
        } else if (w->GetType() == 2) {
            m[p + "imagePath"] = toUtf8(static_cast<IImageWatermark*>(w)->GetImagePath());
        }
    }
    return m;
}

Snapshot programValues() {
    return {{"program.PDFPath", toUtf8(GetPdfFolder())},
            {"program.ShowAD", std::to_string(GetShowAd())},
            {"program.MoveItemReSort", std::to_string(GetMoveItemReSort())},
            {"program.AddImageDirPath", toUtf8(GetAddImageFolder())},
            {"program.UpdateCheckDate", toUtf8(GetUpdateCheckDate())},
            {"program.UpdateServer", toUtf8(GetUpdateServer())},
            {"program.TextLanguages", toUtf8(GetChosenTextLanguages())}};
}

// What a program start finds: a new engine's record after LoadEngineSettings, and the
// program's own values.
Snapshot loadAll() {
    auto engine = createEngine();
    EXPECT_EQ(LoadEngineSettings(engine->GetSettings()), 1);
    Snapshot m = snapshot(*engine->GetSettings());
    m.merge(programValues());
    return m;
}

// Loads the store, changes every value that it keeps and saves; the write results go
// into the snapshot under "result.", followed by what a new load then finds.
Snapshot changeEverythingThenLoad() {
    Snapshot results;
    {
        auto engine = createEngine();
        IFolimoSettings& s = *engine->GetSettings();
        LoadEngineSettings(&s);
        s.SetInfo(0, L"changed title");
        s.SetInfo(3, L"changed creator");
        s.SetPageSize(9);
        s.SetMargin(0, 77);
        s.SetJpegQuality(88);
        s.SetDoublePage(1);
        static_cast<ITextWatermark*>(s.GetWatermark(0))->SetText(L"changed mark");
        static_cast<IImageWatermark*>(s.GetWatermark(1))->SetImagePath(L"/changed.png");
        results["result.save"] = std::to_string(SaveEngineSettings(&s));
        // The record keeps what it was given for the rest of the run.
        results["result.recordTitle"] = toUtf8(s.GetInfo(0));
    }
    RegistryStore store;
    results["result.writeString"] = std::to_string(store.WriteString(L"PDFTitle", L"direct"));
    results["result.writeNumber"] = std::to_string(store.WriteNumber(L"PageSize", 3));
    results["result.writeNew"] = std::to_string(store.WriteNumber(L"NewValue", 3));
    results["result.setPdfFolder"] = std::to_string(SetPdfFolder(L"/changed/pdf"));
    results["result.setAddImageFolder"] = std::to_string(SetAddImageFolder(L"/changed/add"));
    results["result.setUpdateServer"] = std::to_string(SetUpdateServer(L"changed:1"));
    results["result.setMoveItemReSort"] = std::to_string(SetMoveItemReSort(0));
    SetShowAd(0);
    results["result.newValueReads"] = std::to_string(store.ReadNumber(L"NewValue", -7));
    Snapshot after = loadAll();
    after.merge(results);
    return after;
}

std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
            out += text[i] == 'n' ? '\n' : text[i];
        } else {
            out += text[i];
        }
    }
    return out;
}

// Started again with FOLIMO_STORE_CHILD set, this program does what the variable names
// ("load" or "change") with the store that XDG_CONFIG_HOME leads to, writes the result
// into the file FOLIMO_STORE_OUT and ends before any test runs.
class StoreChild : public ::testing::Environment {
public:
    void SetUp() override {
        const char* mode = std::getenv("FOLIMO_STORE_CHILD");
        const char* out = std::getenv("FOLIMO_STORE_OUT");
        if (!mode || !out)
            return;
        Snapshot m = std::string(mode) == "change" ? changeEverythingThenLoad() : loadAll();
        std::string text;
        for (const auto& [key, value] : m)
            text += key + "=" + escape(value) + "\n";
        writeFile(out, text);
        std::exit(0);
    }
};

[[maybe_unused]] ::testing::Environment* const storeChild =
    ::testing::AddGlobalTestEnvironment(new StoreChild);

// Environments are set up only when some test is to run: the child is given one, which
// it never reaches.
constexpr const char* kChildFilter = "SettingsStore.SavingSkipsWatermarksOfTheWrongKindOrPlace";

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(configHome.c_str(), 0755), 0);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(configHome));
        QSettings probe(QSettings::NativeFormat, QSettings::UserScope, "Velmar", "Folimo");
        ASSERT_EQ(probe.fileName().toStdString(), storeFile);
    }

    // Runs this program again as a child in `mode` on the same store, optionally
    // under another user (a command prefix), and reads what it reports.
    Snapshot inNewProcess(const std::string& mode, const std::string& prefix = "") {
        std::string outDir = dir.file("child");
        ::mkdir(outDir.c_str(), 0777);
        ::chmod(outDir.c_str(), 0777);
        std::string out = outDir + "/report.txt";
        std::remove(out.c_str());
        std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        CommandResult r = runCommand(prefix + "env FOLIMO_STORE_CHILD=" + mode +
                                     " FOLIMO_STORE_OUT=" + shellQuote(out) +
                                     " XDG_CONFIG_HOME=" + shellQuote(configHome) + " " +
                                     shellQuote(self) + " --gtest_filter=" + kChildFilter);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_TRUE(fileExists(out)) << r.output;
        Snapshot m;
        std::istringstream in(fileExists(out) ? readFile(out) : "");
        for (std::string line; std::getline(in, line);) {
            auto eq = line.find('=');
            m[line.substr(0, eq)] = unescape(line.substr(eq + 1));
        }
        return m;
    }

    std::string storedText() const { return fileExists(storeFile) ? readFile(storeFile) : ""; }

    TempDir dir;
    std::string configHome = dir.file("config");
    std::string storeFolder = configHome + "/Velmar";
    std::string storeFile = storeFolder + "/Folimo.conf";
};

std::string documentsPdf() {
    return QDir::toNativeSeparators(
               QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + "/Velmar/PDF")
        .toStdString();
}

TEST_F(SettingsStore, AnEmptyStoreGivesEveryDefaultAndReadingWritesNothing) {
    // Qt would read an organisation-wide file behind the program's own; the store's key
    // has nothing behind it.
    writeFile(configHome + "/Velmar.conf", "[General]\nPDFTitle=organisation\nShowAD=0\n");
    auto engine = createEngine();
    IFolimoSettings& s = *engine->GetSettings();
    ASSERT_EQ(LoadEngineSettings(&s), 1);
    Snapshot m = snapshot(s);
    Snapshot expected = {{"title", ""},
                         {"subject", ""},
                         {"author", ""},
                         {"creator", "Velmar-Folimo"},
                         {"keywords", ""},
                         {"customSize", "0x0"},
                         {"pageSize", "0"},
                         {"margin0", "0"},
                         {"margin1", "0"},
                         {"margin2", "0"},
                         {"margin3", "0"},
                         {"encode", "0"},
                         {"defaultEncode", "1"},
                         {"jpegQuality", "30"},
                         {"maxWidth", "0"},
                         {"maxHeight", "0"},
                         {"dpi", "0"},
                         {"splitImage", "0"},
                         {"fillMultiImage", "0"},
                         {"createBookmark", "0"},
                         {"rotatePage", "0"},
                         {"doublePage", "0"},
                         {"imageInPage", "0"},
                         {"imageAutoRotate", "0"},
                         {"bookmarkText", "%FILENAME%"},
                         {"textLanguages", ""}, // recognition is off
                         {"uprightByText", "0"},
                         {"watermarks", "2"},
                         {"mark0.type", "1"},
                         {"mark0.x", "0"},
                         {"mark0.y", "0"},
                         {"mark0.opacity", "100"},
                         {"mark0.angle", "0"},
                         {"mark0.filter", ""},
                         {"mark0.text", ""},
                         {"mark0.fontSize", "20"}, // 0 stored, drawn at 20
                         {"mark0.color", "0"},
                         {"mark1.type", "2"},
                         {"mark1.x", "0"},
                         {"mark1.y", "0"},
                         {"mark1.opacity", "100"},
                         {"mark1.angle", "0"},
                         {"mark1.filter", ""},
                         {"mark1.imagePath", ""}};
    EXPECT_EQ(m, expected);

    EXPECT_EQ(GetPdfFolder(), fromUtf8(documentsPdf()));
    EXPECT_EQ(GetShowAd(), 1);
    EXPECT_EQ(GetMoveItemReSort(), 1);
    EXPECT_EQ(GetAddImageFolder(), L"");
    EXPECT_EQ(GetUpdateCheckDate(), L"");
    EXPECT_EQ(GetUpdateServer(), kDefaultUpdateServer);
    EXPECT_FALSE(fileExists(storeFile)) << "reading created the store";

    // The first write makes the file, in the temporary folder.
    SetShowAd(0);
    EXPECT_NE(storedText().find("ShowAD=0"), std::string::npos) << storedText();
    EXPECT_EQ(GetShowAd(), 0);
}

TEST_F(SettingsStore, StoredNumbersOutsideTheirRangeLoadAsTheirDefaults) {
    struct Case {
        const wchar_t* name;
        int stored;
        const char* field;
        const char* loaded;
    } cases[] = {
        {L"JpepPercent", 3, "jpegQuality", "30"},
        {L"JpepPercent", 4, "jpegQuality", "30"},
        {L"JpepPercent", 0, "jpegQuality", "30"},
        {L"JpepPercent", -1, "jpegQuality", "30"},
        {L"JpepPercent", 5, "jpegQuality", "5"},
        {L"JpepPercent", 100, "jpegQuality", "100"},
        {L"JpepPercent", 101, "jpegQuality", "30"},
        {L"JpepPercent", 150, "jpegQuality", "30"},
        {L"MearginLeft", -20, "margin0", "0"},
        {L"ImageEncode", 77, "encode", "0"},
        {L"ImageEncode", -1, "encode", "0"},
        {L"ImageEncode", 5, "encode", "5"},
        {L"DefaultImageEncode", 0, "defaultEncode", "1"},
        {L"DefaultImageEncode", -3, "defaultEncode", "1"},
        {L"DefaultImageEncode", 6, "defaultEncode", "1"},
        {L"DefaultImageEncode", 5, "defaultEncode", "5"},
        {L"PageSize", 12, "pageSize", "0"},
        {L"PageSize", -1, "pageSize", "0"},
        {L"PageSize", 11, "pageSize", "11"},
        {L"ImageMaxX", -2, "maxWidth", "0"},
        {L"ImageMaxX", -1, "maxWidth", "-1"},
        {L"ImageMaxY", INT_MIN, "maxHeight", "0"},
        {L"DPI", -5, "dpi", "0"},
        {L"DPI", 600, "dpi", "600"},
        {L"WaterTranslucence", 101, "mark0.opacity", "100"},
        {L"WaterTranslucence", 0, "mark0.opacity", "0"},
        {L"WaterImageOpcity", -1, "mark1.opacity", "100"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(RegistryStore().WriteNumber(c.name, c.stored), 1);
        EXPECT_EQ(loadAll()[c.field], c.loaded) << toUtf8(c.name) << " stored " << c.stored;
        ASSERT_EQ(RegistryStore().WriteNumber(c.name, 0), 1);
    }
}

TEST_F(SettingsStore, StoredMarginsThatLeaveNoRoomLoadAsNone) {
    struct Case {
        int pageSize, rotate, doublePage;
        int left, top;
        int loadedLeft, loadedTop;
    } cases[] = {
        {4, 0, 0, 20, 30, 20, 30},         // A4 594 x 842
        {4, 0, 0, -500, 30, 0, 30},        // negative
        {4, 0, 0, 20, -1, 20, 0},          //
        {4, 0, 0, 297, 30, 0, 30},         // 594 - 2 x 297 leaves nothing
        {4, 0, 0, 296, 420, 296, 420},     // two points each way
        {4, 0, 0, 5000, 5000, 0, 0},       //
        {4, 1, 0, 20, 297, 20, 0},         // landscape: 594 high
        {4, 0, 1, 20, 211, 20, 0},         // two stacked: halves of 421
        {4, 0, 1, 20, 210, 20, 210},       //
        {4, 1, 1, 211, 20, 0, 20},         // two side by side: halves of 421
        {0, 0, 0, 5000, 5000, 5000, 5000}, // a page cut to its image has room for any
        {0, 0, 0, -1, -1, 0, 0},           //
    };
    for (const auto& c : cases) {
        RegistryStore store;
        ASSERT_EQ(store.WriteNumber(L"PageSize", c.pageSize), 1);
        ASSERT_EQ(store.WriteNumber(L"RotatePage", c.rotate), 1);
        ASSERT_EQ(store.WriteNumber(L"DoublePage", c.doublePage), 1);
        ASSERT_EQ(store.WriteNumber(L"MearginLeft", c.left), 1);
        ASSERT_EQ(store.WriteNumber(L"MearginTop", c.top), 1);
        Snapshot m = loadAll();
        std::string trace = "page " + std::to_string(c.pageSize) + " rotate " +
                            std::to_string(c.rotate) + " double " + std::to_string(c.doublePage) +
                            " margins " + std::to_string(c.left) + ", " + std::to_string(c.top);
        EXPECT_EQ(m["margin0"], std::to_string(c.loadedLeft)) << trace;
        EXPECT_EQ(m["margin2"], std::to_string(c.loadedLeft)) << trace;
        EXPECT_EQ(m["margin1"], std::to_string(c.loadedTop)) << trace;
        EXPECT_EQ(m["margin3"], std::to_string(c.loadedTop)) << trace;
        // Loading corrects what it hands on, not what is stored.
        EXPECT_EQ(store.ReadNumber(L"MearginLeft", 0), c.left) << trace;
    }
}

// A store file that is no regular file is not read (a FIFO would block for ever) and
// not written over: every value reads as its default, every write fails, and the file
// stays what it was.
TEST_F(SettingsStore, AStoreFileThatIsNoFileIsRefused) {
    const auto fifo = [&] { ASSERT_EQ(::mkfifo(storeFile.c_str(), 0644), 0); };
    const auto linkTo = [&](const std::string& target) {
        return [this, target] { std::filesystem::create_symlink(target, storeFile); };
    };
    const std::string elsewhere = dir.file("pipe");
    ASSERT_EQ(::mkfifo(elsewhere.c_str(), 0644), 0);
    const struct {
        const char* what;
        std::function<void()> make;
    } cases[] = {
        {"a FIFO", fifo},
        {"a link to a FIFO", linkTo(elsewhere)},
        {"a link to a device", linkTo("/dev/zero")},
        {"a folder", [&] { std::filesystem::create_directory(storeFile); }},
    };
    const Snapshot defaults = loadAll();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(storeFolder);
        std::filesystem::create_directories(storeFolder);
        c.make();
        EXPECT_EQ(RefusedStoreFile(), wide(storeFile));
        EXPECT_EQ(loadAll(), defaults);
        EXPECT_EQ(RegistryStore().WriteNumber(L"PageSize", 4), 0);
        EXPECT_EQ(RegistryStore().ReadNumber(L"PageSize", -1), -1);
        struct stat st {};
        ASSERT_EQ(::lstat(storeFile.c_str(), &st), 0);
        EXPECT_FALSE(S_ISREG(st.st_mode));
    }
    std::filesystem::remove_all(storeFolder);
    EXPECT_EQ(RefusedStoreFile(), L"");
    std::filesystem::create_directories(storeFolder);
    std::filesystem::create_symlink(dir.file("absent"), storeFile); // written through
    EXPECT_EQ(RefusedStoreFile(), L"");
}

TEST_F(SettingsStore, OneStoredMarginStandsForBothSidesOfItsAxis) {
    RegistryStore store;
    ASSERT_EQ(store.WriteNumber(L"MearginLeft", 20), 1);
    ASSERT_EQ(store.WriteNumber(L"MearginTop", 7), 1);
    auto engine = createEngine();
    IFolimoSettings& s = *engine->GetSettings();
    LoadEngineSettings(&s);
    EXPECT_EQ(s.GetMargin(0), 20);
    EXPECT_EQ(s.GetMargin(2), 20);
    EXPECT_EQ(s.GetMargin(1), 7);
    EXPECT_EQ(s.GetMargin(3), 7);

    s.SetMargin(0, 11);
    s.SetMargin(2, 99);
    s.SetMargin(3, 98);
    ASSERT_EQ(SaveEngineSettings(&s), 1);
    QSettings file(QString::fromStdString(storeFile), QSettings::IniFormat);
    QStringList marginKeys;
    for (const QString& key : file.allKeys())
        if (key.contains("argin", Qt::CaseInsensitive))
            marginKeys << key;
    EXPECT_EQ(marginKeys, (QStringList{"MearginLeft", "MearginTop"}));
    EXPECT_EQ(store.ReadNumber(L"MearginLeft", -1), 11);
    EXPECT_EQ(store.ReadNumber(L"MearginTop", -1), 7);
}

TEST_F(SettingsStore, AnEmptyPdfPathMeansTheDocumentsFolder) {
    ASSERT_EQ(SetPdfFolder(L""), 1);
    EXPECT_EQ(GetPdfFolder(), fromUtf8(documentsPdf()));
    EXPECT_TRUE(documentsPdf().ends_with("/Velmar/PDF"));
    ASSERT_EQ(SetPdfFolder(L"/srv/输出"), 1);
    EXPECT_EQ(GetPdfFolder(), L"/srv/输出");

    // So does an empty update server, which could reach nothing.
    ASSERT_EQ(SetUpdateServer(L""), 1);
    EXPECT_EQ(GetUpdateServer(), kDefaultUpdateServer);
}

TEST_F(SettingsStore, TheStoredAngleIsLoadedButNeverWritten) {
    auto engine = createEngine();
    IFolimoSettings& s = *engine->GetSettings();
    LoadEngineSettings(&s);
    SaveEngineSettings(&s);
    EXPECT_FALSE(
        QSettings(QString::fromStdString(storeFile), QSettings::IniFormat).contains("WaterAngle"));

    ASSERT_EQ(RegistryStore().WriteNumber(L"WaterAngle", 45), 1);
    auto second = createEngine();
    IFolimoSettings& t = *second->GetSettings();
    LoadEngineSettings(&t);
    ASSERT_EQ(t.GetWatermarkCount(), 2);
    EXPECT_EQ(t.GetWatermark(0)->GetAngle(), 45);
    t.GetWatermark(0)->SetAngle(10);
    ASSERT_EQ(SaveEngineSettings(&t), 1);
    EXPECT_EQ(RegistryStore().ReadNumber(L"WaterAngle", 0), 45);
}

TEST_F(SettingsStore, EveryValueSurvivesTheTripToANewProcess) {
    std::wstring longChinese;
    while (longChinese.size() < 320)
        longChinese += L"春天的相册标题";
    std::wstring longMark = L"草稿 %NUMBER% " + std::wstring(300, L'x') + L" 完";

    auto engine = createEngine();
    IFolimoSettings& s = *engine->GetSettings();
    LoadEngineSettings(&s);
    s.SetInfo(0, longChinese.c_str());
    // Characters the store's own file format gives a meaning to.
    s.SetInfo(1, L"  a, b; #c [d] \"q\" \\ 100% @Variant(x) = \t ");
    s.SetInfo(2, L"Zoë 😀");
    s.SetInfo(3, L"作者的工具");
    s.SetInfo(4, L"k1,k2\nline two");
    s.SetPageSize(11);
    s.SetMargin(0, 15);
    s.SetMargin(1, 25);
    s.SetMargin(2, 99); // not stored: the left margin stands for it
    s.SetMargin(3, 98);
    s.SetImageEncode(5);
    s.SetDefaultImageEncode(3);
    s.SetJpegQuality(95);
    s.SetImageMaxSize(INT_MAX, 1200);
    s.SetDpi(-1);
    s.SetSplitImage(1);
    s.SetFillMultiImage(1);
    s.SetCreateBookmark(1);
    s.SetRotatePage(1);
    s.SetDoublePage(1);
    s.SetImageInPage(1);
    s.SetImageAutoRotate(1);
    s.SetTextLanguages(L"deu+chi_tra");
    s.SetUprightByText(1);
    auto* text = static_cast<ITextWatermark*>(s.GetWatermark(0));
    text->SetText(longMark.c_str());
    text->SetColor(0x00FF8040);
    text->SetAngle(30); // not stored
    text->SetFontSize(36);
    text->SetPosition(-1, -1);
    text->SetOpacity(40);
    auto* image = static_cast<IImageWatermark*>(s.GetWatermark(1));
    // A file name that is not UTF-8 (Latin-1) names the same file after the trip.
    image->SetImagePath(fromUtf8("/图片/stamp caf\xe9 mark.png").c_str());
    image->SetPosition(12, INT_MIN);
    image->SetOpacity(55);
    ASSERT_EQ(SetPdfFolder(L"/输出/PDF"), 1);
    SetShowAd(0);
    ASSERT_EQ(SetMoveItemReSort(0), 1);
    ASSERT_EQ(SetAddImageFolder(L"/home/用户/Pictures"), 1);
    ASSERT_EQ(SetUpdateServer(L"127.0.0.1:8080"), 1);
    ASSERT_EQ(RegistryStore().WriteString(L"UpdateCheckDate", L"2030/01/02"), 1);
    ASSERT_EQ(SaveEngineSettings(&s), 1);

    Snapshot expected = snapshot(s);
    expected.merge(programValues());
    expected["margin2"] = expected["margin0"];
    expected["margin3"] = expected["margin1"];
    expected["mark0.angle"] = "0";

    // The values are not the defaults, or the trip would prove nothing.
    TempDir emptyHome;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(emptyHome.path()));
    Snapshot defaults = loadAll();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(configHome));
    const std::set<std::string> fixed = {"customSize", "bookmarkText", "watermarks",
                                         "mark0.type", "mark0.filter", "mark0.angle",
                                         "mark1.type", "mark1.angle",  "mark1.filter"};
    for (const auto& [key, value] : expected) {
        if (!fixed.count(key)) {
            EXPECT_NE(defaults[key], value) << key;
        }
    }

    Snapshot loaded = inNewProcess("load");
    EXPECT_EQ(loaded.size(), expected.size());
    for (const auto& [key, value] : expected)
        EXPECT_EQ(loaded[key], value) << key;
}

TEST_F(SettingsStore, TextsAreKeptWholeAndNumbersSignedUnderAnySubkey) {
    RegistryStore store;
    std::wstring longText = std::wstring(5000, L'長') + L"end";
    ASSERT_EQ(store.WriteString(L"Long", longText), 1);
    ASSERT_EQ(store.WriteString(L"Empty", L""), 1);
    ASSERT_EQ(store.WriteString(L"Marked", L"@ByteArray(x)"), 1);
    const std::wstring latin1Path = fromUtf8("/photos/caf\xe9.png");
    ASSERT_EQ(store.WriteString(L"Latin1Path", latin1Path), 1);
    ASSERT_EQ(store.WriteNumber(L"Min", INT_MIN), 1);
    ASSERT_EQ(store.WriteNumber(L"Off", -1), 1);
    ASSERT_EQ(store.WriteNumber(L"Max", INT_MAX), 1);
    ASSERT_EQ(store.WriteNumber(L"Deep", 5, L"Sub\\Key"), 1);

    // First as this process remembers its writes, then as it reads them from the file
    // after another process rewrote it.
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(store.ReadString(L"Long", L"default"), longText);
        EXPECT_EQ(store.ReadString(L"Empty", L"default"), L""); // present though empty
        EXPECT_EQ(store.ReadString(L"Marked", L"default"), L"@ByteArray(x)");
        EXPECT_EQ(store.ReadString(L"Latin1Path", L"default"), latin1Path);
        EXPECT_EQ(store.ReadString(L"Absent", L"default"), L"default");
        EXPECT_EQ(store.ReadNumber(L"Min", 0), INT_MIN);
        EXPECT_EQ(store.ReadNumber(L"Off", 0), -1);
        EXPECT_EQ(store.ReadNumber(L"Max", 0), INT_MAX);
        EXPECT_EQ(store.ReadNumber(L"Absent", 9), 9);
        EXPECT_EQ(store.ReadNumber(L"Deep", 0, L"Sub/Key"), 5);
        EXPECT_EQ(store.ReadNumber(L"Deep", 0, L"Sub\\Key"), 5);
        EXPECT_EQ(store.ReadNumber(L"Deep", 0), 0);
        EXPECT_EQ(store.ReadNumber(L"Deep", 0, L"Sub"), 0);
        if (pass == 0) {
            ASSERT_EQ(inNewProcess("change")["result.save"], "1");
        }
    }
}

TEST_F(SettingsStore, AHandEditedFileGivesDefaultsForWhatCannotBeRead) {
    ASSERT_EQ(::mkdir(storeFolder.c_str(), 0755), 0);
    writeFile(storeFile, "garbage line without a value\n"
                         "[General]\n"
                         "PageSize=abc\n"
                         "JpepPercent= 50 \n"
                         "PDFTitle=Hello, world\n"
                         "PDFAuthor=Ann\n"
                         "PDFCreator=\n"
                         "PDFSubject=@ByteArray(bytes)\n"
                         "ImageMaxX=4294967295\n"
                         "ImageMaxY=4294967296\n"
                         "DPI=1.5\n"
                         "MearginLeft=12\n"
                         "MearginTop=-3\n"
                         "\x01\x02\xff junk\n"
                         "WaterTranslucence=\n"
                         "WaterText=\xe8\x8d\x89\xe7\xa8\xbf\n"
                         "[broken\n"
                         "DoublePage=1\n");
    // The program can still write to it, the first thing it does, and what it wrote is
    // read back.
    ASSERT_EQ(SetAddImageFolder(L"/photos"), 1);
    EXPECT_EQ(GetAddImageFolder(), L"/photos");

    Snapshot m = loadAll();
    EXPECT_EQ(m["pageSize"], "0");
    EXPECT_EQ(m["jpegQuality"], "50");
    EXPECT_EQ(m["title"], ""); // a list, not a text
    EXPECT_EQ(m["author"], "Ann");
    EXPECT_EQ(m["creator"], "");    // stored empty, so not the default
    EXPECT_EQ(m["subject"], "");    // bytes, not a text
    EXPECT_EQ(m["maxWidth"], "-1"); // the 32-bit pattern of 4294967295
    EXPECT_EQ(m["maxHeight"], "0"); // beyond 32 bits
    EXPECT_EQ(m["dpi"], "0");
    EXPECT_EQ(m["margin0"], "12");
    EXPECT_EQ(m["margin3"], "0"); // no margin is negative
    EXPECT_EQ(m["mark0.opacity"], "100");
    EXPECT_EQ(m["mark0.text"], "草稿");
    EXPECT_EQ(m["doublePage"], "0"); // in another group

    ASSERT_EQ(RegistryStore().WriteString(L"PDFTitle", L"fixed"), 1);
    EXPECT_EQ(RegistryStore().ReadString(L"PDFTitle", L""), L"fixed");
    Snapshot fresh = inNewProcess("load");
    EXPECT_EQ(fresh["title"], "fixed");
    EXPECT_EQ(fresh["author"], "Ann");
    EXPECT_EQ(fresh["program.AddImageDirPath"], "/photos");
}

// A store whose file cannot be written: the writes report 0, SaveEngineSettings still
// reports 1, the record keeps its new values, and neither the file nor what this
// process reads from it changes.
TEST_F(SettingsStore, AStoreThatCannotBeWrittenChangesNothing) {
    auto engine = createEngine();
    IFolimoSettings& s = *engine->GetSettings();
    LoadEngineSettings(&s);
    s.SetInfo(0, L"kept title");
    s.SetPageSize(4);
    static_cast<ITextWatermark*>(s.GetWatermark(0))->SetText(L"kept mark");
    ASSERT_EQ(SaveEngineSettings(&s), 1);
    ASSERT_EQ(SetPdfFolder(L"/kept/pdf"), 1);
    const Snapshot before = loadAll();
    const std::string bytes = storedText();

    auto expectUnchanged = [&](const Snapshot& after, const char* how) {
        EXPECT_EQ(after.at("result.save"), "1") << how;
        EXPECT_EQ(after.at("result.recordTitle"), "changed title") << how;
        for (const char* write : {"writeString", "writeNumber", "writeNew", "setPdfFolder",
                                  "setAddImageFolder", "setUpdateServer"})
            EXPECT_EQ(after.at(std::string("result.") + write), "0") << how << ": " << write;
        EXPECT_EQ(after.at("result.setMoveItemReSort"), "1") << how;
        EXPECT_EQ(after.at("result.newValueReads"), "-7") << how;
        for (const auto& [key, value] : before)
            EXPECT_EQ(after.at(key), value) << how << ": " << key;
        EXPECT_EQ(storedText(), bytes) << how;
        EXPECT_EQ(listDir(storeFolder), std::vector<std::string>{"Folimo.conf"}) << how;
    };

    // Permissions do not bind the superuser's capabilities, so the writer then runs as
    // root without any. Not as another user: the folders that hold this program, its
    // libraries and the temporary files may be closed to others (a build in root's home).
    std::string withoutPrivilege;
    if (::geteuid() == 0) {
        const std::string drop = "setpriv --inh-caps=-all --bounding-set=-all ";
        if (runCommand(drop + "true").exitCode != 0)
            GTEST_SKIP() << "running as root and cannot give up its privileges: permissions "
                            "cannot be tested";
        withoutPrivilege = drop;
    }
    struct Restore {
        std::string folder;
        ~Restore() { ::chmod(folder.c_str(), 0755); }
    } restore{storeFolder};
    // A read-only folder with a read-only file; then a writable file in it, which Qt's
    // safe save (a new file renamed over the old) cannot replace either.
    for (mode_t fileMode : {0444, 0666}) {
        ASSERT_EQ(::chmod(storeFile.c_str(), fileMode), 0);
        ASSERT_EQ(::chmod(storeFolder.c_str(), 0555), 0);
        expectUnchanged(inNewProcess("change", withoutPrivilege),
                        fileMode == 0444 ? "read-only file" : "read-only folder");
    }
}

TEST_F(SettingsStore, AStoreInTheWayOfAFolderOrFileChangesNothing) {
    // Where the file should be there is a folder; then where its folder should be, a file.
    for (bool folderAsFile : {false, true}) {
        std::filesystem::remove_all(storeFolder);
        if (folderAsFile) {
            writeFile(storeFolder, "not a folder");
        } else {
            ASSERT_EQ(::mkdir(storeFolder.c_str(), 0755), 0);
            ASSERT_EQ(::mkdir(storeFile.c_str(), 0755), 0);
        }
        const char* how = folderAsFile ? "file as folder" : "folder as file";
        Snapshot defaults = loadAll();
        Snapshot after = changeEverythingThenLoad();
        EXPECT_EQ(after["result.save"], "1") << how;
        EXPECT_EQ(after["result.writeString"], "0") << how;
        EXPECT_EQ(after["result.writeNew"], "0") << how;
        EXPECT_EQ(after["result.newValueReads"], "-7") << how;
        for (const auto& [key, value] : defaults)
            EXPECT_EQ(after[key], value) << how << ": " << key;
        if (folderAsFile)
            EXPECT_EQ(readFile(storeFolder), "not a folder");
        else
            EXPECT_TRUE(listDir(storeFile).empty()) << how;
    }
}

TEST_F(SettingsStore, SavingSkipsWatermarksOfTheWrongKindOrPlace) {
    RegistryStore store;
    ASSERT_EQ(store.WriteString(L"WaterText", L"stored text"), 1);
    ASSERT_EQ(store.WriteString(L"WaterImage", L"/stored.png"), 1);
    // A record filled without LoadEngineSettings: an image watermark first, one alone.
    auto engine = createEngine();
    IFolimoSettings& s = *engine->GetSettings();
    void* out = nullptr;
    CreateObject(FOLIMO_IMAGE_WATERMARK, &out);
    ASSERT_NE(out, nullptr);
    static_cast<IImageWatermark*>(out)->SetImagePath(L"/other.png");
    s.AddWatermark(static_cast<IImageWatermark*>(out));
    ASSERT_EQ(SaveEngineSettings(&s), 1);
    EXPECT_EQ(store.ReadString(L"WaterText", L""), L"stored text");
    EXPECT_EQ(store.ReadString(L"WaterImage", L""), L"/stored.png");
    EXPECT_EQ(LoadEngineSettings(nullptr), 0);
    EXPECT_EQ(SaveEngineSettings(nullptr), 0);
}

} // namespace

namespace {

// The languages each interface gets when it has chosen none.
TEST(TextLanguages, TheDefaultFollowsTheInterfaceLanguage) {
    EXPECT_EQ(DefaultTextLanguages(L"zh"), L"chi_sim+eng");
    EXPECT_EQ(DefaultTextLanguages(L"en"), L"eng");
    EXPECT_EQ(DefaultTextLanguages(L"pt_BR"), L"eng");
}

TEST(TextLanguages, OnlyTesseractNamesJoinedByPlusAreALanguageList) {
    const struct {
        const wchar_t* text;
        bool list;
    } cases[] = {
        {L"eng", true},        {L"eng+chi_sim", true}, {L"chi_sim_vert+osd", true},
        {L"Fraktur", true},    {L"", false},           {L"+eng", false},
        {L"eng+", false},      {L"eng++deu", false},   {L"eng deu", false},
        {L"photo.jpg", false}, {L"123", false},        {L"../eng", false},
        {L"eng,deu", false},   {L"中文", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsTextLanguageList(c.text), c.list) << toUtf8(c.text);
}

// What the store holds for recognition, and what the engine's record then gets: the
// languages only while recognition is on, and the default for a list that is none.
TEST_F(SettingsStore, RecognitionReachesTheRecordOnlyWhenItIsOn) {
    const std::string fallback = toUtf8(DefaultTextLanguages());
    const struct {
        const char* stored; // the store file's lines
        const char* languages;
        const char* upright;
        std::string chosen;
    } cases[] = {
        {"", "", "0", fallback},
        {"RecognizeText=1\n", fallback.c_str(), "0", fallback},
        {"RecognizeText=1\nTextLanguages=deu+eng\n", "deu+eng", "0", "deu+eng"},
        {"RecognizeText=0\nTextLanguages=deu+eng\nUprightByText=1\n", "", "1", "deu+eng"},
        {"RecognizeText=2\nTextLanguages=deu\n", "", "0", "deu"},
        {"RecognizeText=1\nTextLanguages=deu+\n", fallback.c_str(), "0", fallback},
        {"RecognizeText=1\nTextLanguages=\n", fallback.c_str(), "0", fallback},
        {"UprightByText=-1\n", "", "0", fallback},
    };
    for (const auto& c : cases) {
        ::mkdir(storeFolder.c_str(), 0755);
        writeFile(storeFile, std::string("[General]\n") + c.stored);
        Snapshot m = loadAll();
        EXPECT_EQ(m["textLanguages"], c.languages) << c.stored;
        EXPECT_EQ(m["uprightByText"], c.upright) << c.stored;
        EXPECT_EQ(m["program.TextLanguages"], c.chosen) << c.stored;
    }
}

// Switching recognition off keeps the chosen languages, so that switching it on again
// brings them back.
TEST_F(SettingsStore, SavingRecognitionOffKeepsTheChosenLanguages) {
    auto engine = createEngine();
    IFolimoSettings& s = *engine->GetSettings();
    LoadEngineSettings(&s);
    s.SetTextLanguages(L"eng+deu");
    ASSERT_EQ(SaveEngineSettings(&s), 1);
    EXPECT_EQ(loadAll()["textLanguages"], "eng+deu");
    s.SetTextLanguages(L"");
    ASSERT_EQ(SaveEngineSettings(&s), 1);
    EXPECT_NE(storedText().find("RecognizeText=0"), std::string::npos) << storedText();
    EXPECT_EQ(loadAll()["textLanguages"], "");
    EXPECT_EQ(GetChosenTextLanguages(), L"eng+deu");
    ASSERT_EQ(SetChosenTextLanguages(L"fra"), 1);
    ASSERT_EQ(RegistryStore().WriteNumber(L"RecognizeText", 1), 1);
    EXPECT_EQ(loadAll()["textLanguages"], "fra");
}

} // namespace
