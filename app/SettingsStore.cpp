#include "SettingsStore.h"

#include "RegistryStore.h"

#include <folimo/Owned.h>

#include <QDir>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>

#include <memory>

namespace folimo {

namespace {

std::wstring text(const wchar_t* name, const wchar_t* defaultText = L"") {
    return RegistryStore().ReadString(name, defaultText);
}

int number(const wchar_t* name, int defaultValue = 0) {
    return RegistryStore().ReadNumber(name, defaultValue);
}

void writeText(const wchar_t* name, const wchar_t* value) {
    RegistryStore().WriteString(name, value ? value : L"");
}

void writeNumber(const wchar_t* name, int value) {
    RegistryStore().WriteNumber(name, value);
}

} // namespace

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
    // One stored margin stands for both sides of its axis.
    s.SetMargin(FOLIMO_MARGIN_LEFT, number(L"MearginLeft"));
    s.SetMargin(FOLIMO_MARGIN_RIGHT, number(L"MearginLeft"));
    s.SetMargin(FOLIMO_MARGIN_TOP, number(L"MearginTop"));
    s.SetMargin(FOLIMO_MARGIN_BOTTOM, number(L"MearginTop"));
    s.SetImageEncode(number(L"ImageEncode"));
    s.SetDefaultImageEncode(number(L"DefaultImageEncode", FOLIMO_ENCODE_JPEG));
    s.SetJpegQuality(number(L"JpepPercent", 30));
    if (s.GetJpegQuality() < 5)
        s.SetJpegQuality(30);
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

    // A watermark the engine cannot make is left out rather than stopping the start.
    if (auto mark = createObject<ITextWatermark>(FOLIMO_TEXT_WATERMARK)) {
        mark->SetText(text(L"WaterText").c_str());
        mark->SetColor(number(L"WaterColor"));
        mark->SetAngle(number(L"WaterAngle"));
        mark->SetFontSize(number(L"WaterFontSize"));
        const int x = number(L"WaterPosX");
        const int y = number(L"WaterPosY");
        mark->SetPosition(x, y);
        mark->SetOpacity(number(L"WaterTranslucence", 100));
        s.AddWatermark(mark.release());
    }
    if (auto mark = createObject<IImageWatermark>(FOLIMO_IMAGE_WATERMARK)) {
        mark->SetImagePath(text(L"WaterImage").c_str());
        const int x = number(L"WaterImageX");
        const int y = number(L"WaterImageY");
        mark->SetPosition(x, y);
        mark->SetOpacity(number(L"WaterImageOpcity", 100));
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
    return number(L"ShowAD", 1);
}

void SetShowAd(int show) {
    writeNumber(L"ShowAD", show);
}

int GetMoveItemReSort() {
    return number(L"MoveItemReSort", 1);
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
    for (const QString& host :
         stored.split(QRegularExpression(QStringLiteral("[;\\s]+")), Qt::SkipEmptyParts))
        hosts.push_back(host.toStdWString());
    return hosts;
}

int SetUpdateDownloadHosts(const std::wstring& hosts) {
    return RegistryStore().WriteString(L"UpdateDownloadHosts", hosts);
}

} // namespace folimo
