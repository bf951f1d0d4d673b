#include "SettingsStore.h"

#include "InterfaceLanguage.h"
#include "RegistryStore.h"

#include <folimo/Owned.h>

#include <QDir>
#include <QLocale>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>

#include <climits>
#include <cwchar>
#include <memory>

namespace folimo {

namespace {

std::wstring text(const wchar_t* name, const wchar_t* defaultText = L"") {
    return RegistryStore().ReadString(name, defaultText);
}

constexpr int kAny = INT_MIN;
constexpr int kNoMost = INT_MAX;

// Every stored number with its default and the values it may take. One outside them (a
// file edited by hand, a code of another version, a quality typed before the window took
// only numbers) reads as the default, as an absent one does: passed on, an unknown
// encoding failed every image and a negative margin made pages of one point.
struct NumberValue {
    const wchar_t* name;
    StoredRange range;
};
constexpr NumberValue kNumbers[] = {
    {L"PageSize", {FOLIMO_PAGE_IMAGE, FOLIMO_PAGE_IMAGE, FOLIMO_PAGE_TABLOID}},
    {L"MearginLeft", {0, 0, kNoMost}},
    {L"MearginTop", {0, 0, kNoMost}},
    {L"ImageEncode", {FOLIMO_ENCODE_UNCHANGED, FOLIMO_ENCODE_UNCHANGED, FOLIMO_ENCODE_TIFF}},
    {L"DefaultImageEncode", {FOLIMO_ENCODE_JPEG, FOLIMO_ENCODE_JPEG, FOLIMO_ENCODE_TIFF}},
    // Below 5 percent a JPEG shows little but its blocks.
    {L"JpepPercent", {30, 5, 100}},
    // -1 on both sides switches the limits (and the forced re-encoding) off.
    {L"ImageMaxX", {0, -1, kNoMost}},
    {L"ImageMaxY", {0, -1, kNoMost}},
    {L"DPI", {0, -1, kNoMost}},          // 0 and -1 keep the image's own
    {L"WaterFontSize", {0, 0, kNoMost}}, // 0 draws at 20 points
    {L"WaterTranslucence", {100, 0, 100}},
    {L"WaterImageOpcity", {100, 0, 100}},
    {L"ShowAD", {1, kAny, kNoMost}},
    {L"MoveItemReSort", {1, kAny, kNoMost}},
    {L"RecognizeText", {0, 0, 1}},
    {L"UprightByText", {0, 0, 1}},
};

// The stored number, or its default when it is absent or out of its range.
int number(const wchar_t* name) {
    const StoredRange range = StoredNumberRange(name);
    const int stored = RegistryStore().ReadNumber(name, range.defaultValue);
    return stored < range.least || stored > range.most ? range.defaultValue : stored;
}

void writeText(const wchar_t* name, const wchar_t* value) {
    RegistryStore().WriteString(name, value ? value : L"");
}

void writeNumber(const wchar_t* name, int value) {
    RegistryStore().WriteNumber(name, value);
}

} // namespace

StoredRange StoredNumberRange(const wchar_t* name) {
    for (const NumberValue& known : kNumbers)
        if (std::wcscmp(known.name, name) == 0)
            return known.range;
    return {0, kAny, kNoMost};
}

int LoadEngineSettings(IFolimoSettings* settings) {
    if (!settings)
        return 0;
    IFolimoSettings& s = *settings;
    s.SetInfo(FOLIMO_INFO_CREATOR, text(L"PDFCreator", L"Velmar-Folimo").c_str());
    s.SetInfo(FOLIMO_INFO_KEYWORDS, text(L"PDFKeywords").c_str());
    s.SetInfo(FOLIMO_INFO_SUBJECT, text(L"PDFSubject").c_str());
    s.SetInfo(FOLIMO_INFO_TITLE, text(L"PDFTitle").c_str());
    s.SetInfo(FOLIMO_INFO_AUTHOR, text(L"PDFAuthor").c_str());
    s.SetPageSize(number(L"PageSize"));
    s.SetImageEncode(number(L"ImageEncode"));
    s.SetDefaultImageEncode(number(L"DefaultImageEncode"));
    s.SetJpegQuality(number(L"JpepPercent"));
    const int maxWidth = number(L"ImageMaxX");
    const int maxHeight = number(L"ImageMaxY");
    s.SetImageMaxSize(maxWidth, maxHeight);
    s.SetDpi(number(L"DPI"));
    s.SetSplitImage(number(L"SplitImage"));
    s.SetFillMultiImage(number(L"FillMultiImage"));
    s.SetCreateBookmark(number(L"CreateBookmark"));
    s.SetRotatePage(number(L"RotatePage"));
    s.SetDoublePage(number(L"DoublePage"));
    s.SetImageInPage(number(L"ImageInPage"));
    s.SetImageAutoRotate(number(L"ImageAutoRotate"));
    s.SetTextLanguages(number(L"RecognizeText") ? GetChosenTextLanguages().c_str() : L"");
    s.SetUprightByText(number(L"UprightByText"));
    // One stored margin stands for both sides of its axis. Whether they leave room for
    // an image depends on the page they are for, so they are read after it.
    const auto setMargins = [&s](int horizontal, int vertical) {
        s.SetMargin(FOLIMO_MARGIN_LEFT, horizontal);
        s.SetMargin(FOLIMO_MARGIN_RIGHT, horizontal);
        s.SetMargin(FOLIMO_MARGIN_TOP, vertical);
        s.SetMargin(FOLIMO_MARGIN_BOTTOM, vertical);
    };
    int horizontal = number(L"MearginLeft");
    const int vertical = number(L"MearginTop");
    setMargins(horizontal, 0);
    if (!FolimoMarginsLeaveRoom(s))
        horizontal = 0;
    setMargins(horizontal, vertical);
    if (!FolimoMarginsLeaveRoom(s))
        setMargins(horizontal, 0);

    // A watermark the engine cannot make is left out rather than stopping the start.
    if (auto mark = createObject<ITextWatermark>(FOLIMO_TEXT_WATERMARK)) {
        mark->SetText(text(L"WaterText").c_str());
        mark->SetColor(number(L"WaterColor"));
        mark->SetAngle(number(L"WaterAngle"));
        mark->SetFontSize(number(L"WaterFontSize"));
        const int x = number(L"WaterPosX");
        const int y = number(L"WaterPosY");
        mark->SetPosition(x, y);
        mark->SetOpacity(number(L"WaterTranslucence"));
        s.AddWatermark(mark.release());
    }
    if (auto mark = createObject<IImageWatermark>(FOLIMO_IMAGE_WATERMARK)) {
        mark->SetImagePath(text(L"WaterImage").c_str());
        const int x = number(L"WaterImageX");
        const int y = number(L"WaterImageY");
        mark->SetPosition(x, y);
        mark->SetOpacity(number(L"WaterImageOpcity"));
        s.AddWatermark(mark.release());
    }
    return 1;
}

int SaveEngineSettings(IFolimoSettings* settings) {
    if (!settings)
        return 0;
    IFolimoSettings& s = *settings;
    writeText(L"PDFCreator", s.GetInfo(FOLIMO_INFO_CREATOR));
    writeText(L"PDFKeywords", s.GetInfo(FOLIMO_INFO_KEYWORDS));
    writeText(L"PDFSubject", s.GetInfo(FOLIMO_INFO_SUBJECT));
    writeText(L"PDFTitle", s.GetInfo(FOLIMO_INFO_TITLE));
    writeText(L"PDFAuthor", s.GetInfo(FOLIMO_INFO_AUTHOR));
    writeNumber(L"PageSize", s.GetPageSize());
    writeNumber(L"MearginLeft", s.GetMargin(FOLIMO_MARGIN_LEFT));
    writeNumber(L"MearginTop", s.GetMargin(FOLIMO_MARGIN_TOP));
    writeNumber(L"ImageEncode", s.GetImageEncode());
    writeNumber(L"DefaultImageEncode", s.GetDefaultImageEncode());
    writeNumber(L"JpepPercent", s.GetJpegQuality());
    int maxWidth = 0, maxHeight = 0;
    s.GetImageMaxSize(&maxWidth, &maxHeight);
    writeNumber(L"ImageMaxX", maxWidth);
    writeNumber(L"ImageMaxY", maxHeight);
    writeNumber(L"DPI", s.GetDpi());
    writeNumber(L"SplitImage", s.GetSplitImage());
    writeNumber(L"FillMultiImage", s.GetFillMultiImage());
    writeNumber(L"CreateBookmark", s.GetCreateBookmark());
    writeNumber(L"RotatePage", s.GetRotatePage());
    writeNumber(L"DoublePage", s.GetDoublePage());
    writeNumber(L"ImageInPage", s.GetImageInPage());
    writeNumber(L"ImageAutoRotate", s.GetImageAutoRotate());
    const wchar_t* languages = s.GetTextLanguages();
    const bool recognize = languages && *languages;
    writeNumber(L"RecognizeText", recognize ? 1 : 0);
    if (recognize)
        writeText(L"TextLanguages", languages);
    writeNumber(L"UprightByText", s.GetUprightByText());

    // The loaded record holds the text watermark at 0 and the image watermark at 1, but
    // a record filled another way may not: an entry of the other kind is not stored,
    // rather than read through the wrong interface.
    const int count = s.GetWatermarkCount();
    IWatermark* first = count >= 1 ? s.GetWatermark(0) : nullptr;
    if (first && first->GetType() == FOLIMO_WATERMARK_TEXT) {
        auto* mark = static_cast<ITextWatermark*>(first);
        writeText(L"WaterText", mark->GetText());
        writeNumber(L"WaterColor", mark->GetColor());
        writeNumber(L"WaterFontSize", mark->GetFontSize());
        int x = 0, y = 0;
        mark->GetPosition(&x, &y);
        writeNumber(L"WaterPosX", x);
        writeNumber(L"WaterPosY", y);
        writeNumber(L"WaterTranslucence", mark->GetOpacity());
    }
    IWatermark* second = count >= 2 ? s.GetWatermark(1) : nullptr;
    if (second && second->GetType() == FOLIMO_WATERMARK_IMAGE) {
        auto* mark = static_cast<IImageWatermark*>(second);
        writeText(L"WaterImage", mark->GetImagePath());
        int x = 0, y = 0;
        mark->GetPosition(&x, &y);
        writeNumber(L"WaterImageX", x);
        writeNumber(L"WaterImageY", y);
        writeNumber(L"WaterImageOpcity", mark->GetOpacity());
    }
    return 1;
}

bool IsTextLanguageList(const std::wstring& text) {
    static const QRegularExpression list(QStringLiteral(
        "^[A-Za-z0-9_]*[A-Za-z][A-Za-z0-9_]*(\\+[A-Za-z0-9_]*[A-Za-z][A-Za-z0-9_]*)*$"));
    return list.match(QString::fromStdWString(text)).hasMatch();
}

std::wstring DefaultTextLanguages(const std::wstring& interfaceLanguage) {
    return QString::fromStdWString(interfaceLanguage) == kSourceLanguage ? L"chi_sim+eng" : L"eng";
}

std::wstring DefaultTextLanguages() {
    // Only Chinese changes the default, so no catalogue needs to be known here.
    return DefaultTextLanguages(
        ChooseInterfaceLanguage(QLocale::system().uiLanguages(), {}).toStdWString());
}

std::wstring GetChosenTextLanguages() {
    // A list edited by hand into something else would fail every run at its start.
    std::wstring languages = text(L"TextLanguages");
    return IsTextLanguageList(languages) ? languages : DefaultTextLanguages();
}

int SetChosenTextLanguages(const std::wstring& languages) {
    return RegistryStore().WriteString(L"TextLanguages", languages);
}

std::wstring GetPdfFolder() {
    std::wstring folder = text(L"PDFPath");
    if (!folder.empty())
        return folder;
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath();
    return QDir::toNativeSeparators(documents + QStringLiteral("/Velmar/PDF")).toStdWString();
}

int SetPdfFolder(const std::wstring& folder) {
    return RegistryStore().WriteString(L"PDFPath", folder);
}

int GetShowAd() {
    return number(L"ShowAD");
}

void SetShowAd(int show) {
    writeNumber(L"ShowAD", show);
}

int GetMoveItemReSort() {
    return number(L"MoveItemReSort");
}

int SetMoveItemReSort(int value) {
    writeNumber(L"MoveItemReSort", value);
    return 1;
}

std::wstring GetAddImageFolder() {
    return text(L"AddImageDirPath");
}

int SetAddImageFolder(const std::wstring& folder) {
    return RegistryStore().WriteString(L"AddImageDirPath", folder);
}

std::wstring GetUpdateCheckDate() {
    return text(L"UpdateCheckDate");
}

std::wstring GetUpdateServer() {
    // An empty address could reach nothing, so it counts as none.
    std::wstring address = text(L"UpdateServer");
    return address.empty() ? kDefaultUpdateServer : address;
}

int SetUpdateServer(const std::wstring& address) {
    return RegistryStore().WriteString(L"UpdateServer", address);
}

std::vector<std::wstring> GetUpdateDownloadHosts() {
    const QString stored = QString::fromStdWString(text(L"UpdateDownloadHosts"));
    std::vector<std::wstring> hosts;
    static const QRegularExpression separators(QStringLiteral("[;\\s]+"));
    for (const QString& host : stored.split(separators, Qt::SkipEmptyParts))
        hosts.push_back(host.toStdWString());
    return hosts;
}

int SetUpdateDownloadHosts(const std::wstring& hosts) {
    return RegistryStore().WriteString(L"UpdateDownloadHosts", hosts);
}

} // namespace folimo
