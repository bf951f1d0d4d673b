#include "CImageToPDFSettings.h"

#include "CopyText.h"

namespace {
bool validInfo(int index) {
    return index >= 0 && index < 5;
}
bool validSide(int side) {
    return side >= 0 && side < 4;
}

// A setter never fails; out of memory leaves the old text in place.
void assign(std::wstring& field, const wchar_t* text) noexcept {
    try {
        field = text ? text : L"";
    } catch (...) {
    }
}
} // namespace

CImageToPDFSettings::CImageToPDFSettings() = default;

CImageToPDFSettings::~CImageToPDFSettings() {
    for (IWatermark* w : watermarks_)
        if (w)
            w->Release();
}

// Index and side arguments come from the program's own constants; out-of-range ones
// are ignored instead of reaching outside the arrays.
int CImageToPDFSettings::SetInfo(int index, const wchar_t* text) noexcept {
    if (validInfo(index))
        assign(info_[index], text);
    return 1;
}

const wchar_t* CImageToPDFSettings::GetInfo(int index) noexcept {
    return validInfo(index) ? info_[index].c_str() : L"";
}

int CImageToPDFSettings::SetCustomPageSize(int width, int height) noexcept {
    customWidth_ = width;
    customHeight_ = height;
    return 1;
}

int CImageToPDFSettings::GetCustomPageSize(int* width, int* height) noexcept {
    if (width)
        *width = customWidth_;
    if (height)
        *height = customHeight_;
    return 1;
}

int CImageToPDFSettings::SetPageSize(int code) noexcept {
    pageSize_ = code;
    return 1;
}

int CImageToPDFSettings::GetPageSize() noexcept {
    return pageSize_;
}

int CImageToPDFSettings::SetMargin(int side, int value) noexcept {
    if (validSide(side))
        margins_[side] = value;
    return 1;
}

int CImageToPDFSettings::GetMargin(int side) noexcept {
    return validSide(side) ? margins_[side] : 0;
}

int CImageToPDFSettings::SetImageEncode(int code) noexcept {
    imageEncode_ = code;
    return 1;
}

int CImageToPDFSettings::GetImageEncode() noexcept {
    return imageEncode_;
}

int CImageToPDFSettings::SetDefaultImageEncode(int code) noexcept {
    defaultImageEncode_ = code;
    return 1;
}

int CImageToPDFSettings::GetDefaultImageEncode() noexcept {
    return defaultImageEncode_;
}

int CImageToPDFSettings::SetJpegQuality(int percent) noexcept {
    jpegQuality_ = percent;
    return 1;
}

int CImageToPDFSettings::GetJpegQuality() noexcept {
    return jpegQuality_;
}

int CImageToPDFSettings::SetImageMaxSize(int maxWidth, int maxHeight) noexcept {
    maxWidth_ = maxWidth;
    maxHeight_ = maxHeight;
    return 1;
}

int CImageToPDFSettings::GetImageMaxSize(int* maxWidth, int* maxHeight) noexcept {
    if (maxWidth)
        *maxWidth = maxWidth_;
    if (maxHeight)
        *maxHeight = maxHeight_;
    return 1;
}

int CImageToPDFSettings::SetDpi(int dpi) noexcept {
    dpi_ = dpi;
    return 1;
}

int CImageToPDFSettings::GetDpi() noexcept {
    return dpi_;
}

int CImageToPDFSettings::SetSplitImage(int flag) noexcept {
    splitImage_ = flag;
    return 1;
}

int CImageToPDFSettings::GetSplitImage() noexcept {
    return splitImage_;
}

int CImageToPDFSettings::SetFillMultiImage(int flag) noexcept {
    fillMultiImage_ = flag;
    return 1;
}

int CImageToPDFSettings::GetFillMultiImage() noexcept {
    return fillMultiImage_;
}

int CImageToPDFSettings::GetCreateBookmark() noexcept {
    return createBookmark_;
}

int CImageToPDFSettings::SetCreateBookmark(int flag) noexcept {
    return createBookmark_ = flag;
}

int CImageToPDFSettings::SetBookmarkText(const wchar_t* text) noexcept {
    assign(bookmarkText_, text);
    return 1;
}

const wchar_t* CImageToPDFSettings::GetBookmarkText() noexcept {
    return bookmarkText_.c_str();
}

int CImageToPDFSettings::GetRotatePage() noexcept {
    return rotatePage_;
}

int CImageToPDFSettings::SetRotatePage(int flag) noexcept {
    return rotatePage_ = flag;
}

int CImageToPDFSettings::GetDoublePage() noexcept {
    return doublePage_;
}

int CImageToPDFSettings::SetDoublePage(int flag) noexcept {
    return doublePage_ = flag;
}

int CImageToPDFSettings::GetWatermarkCount() noexcept {
    return static_cast<int>(watermarks_.size());
}

IWatermark* CImageToPDFSettings::GetWatermark(int index) noexcept {
    if (index < 0 || index >= GetWatermarkCount())
        return nullptr;
    return watermarks_[static_cast<std::size_t>(index)];
}

int CImageToPDFSettings::AddWatermark(IWatermark* watermark) noexcept {
    int index = GetWatermarkCount();
    try {
        watermarks_.push_back(watermark);
    } catch (...) {
        // The record owns what it is given, even when it cannot keep it.
        if (watermark)
            watermark->Release();
    }
    return index;
}

int CImageToPDFSettings::RemoveWatermark(int index) noexcept {
    if (index >= 0 && index < GetWatermarkCount()) {
        if (IWatermark* w = watermarks_[static_cast<std::size_t>(index)])
            w->Release();
        watermarks_.erase(watermarks_.begin() + index);
    }
    return GetWatermarkCount();
}

int CImageToPDFSettings::GetImageInPage() noexcept {
    return imageInPage_;
}

int CImageToPDFSettings::SetImageInPage(int flag) noexcept {
    return imageInPage_ = flag;
}

int CImageToPDFSettings::GetImageAutoRotate() noexcept {
    return imageAutoRotate_;
}

int CImageToPDFSettings::SetImageAutoRotate(int flag) noexcept {
    return imageAutoRotate_ = flag;
}

int CImageToPDFSettings::SetTextLanguages(const wchar_t* languages) noexcept {
    try {
        textLanguages_ = languages ? languages : L"";
    } catch (...) {
        return 0;
    }
    return 1;
}

const wchar_t* CImageToPDFSettings::GetTextLanguages() noexcept {
    return textLanguages_.c_str();
}

int CImageToPDFSettings::SetUprightByText(int flag) noexcept {
    return uprightByText_ = flag;
}

int CImageToPDFSettings::GetUprightByText() noexcept {
    return uprightByText_;
}

int CImageToPDFSettings::CopyFrom(IFolimoSettings* other) noexcept {
    if (!other || other == this)
        return 1;
    for (int i = 0; i < 5; ++i)
        SetInfo(i, other->GetInfo(i));
    other->GetCustomPageSize(&customWidth_, &customHeight_);
    pageSize_ = other->GetPageSize();
    for (int side = 0; side < 4; ++side)
        margins_[side] = other->GetMargin(side);
    imageEncode_ = other->GetImageEncode();
    defaultImageEncode_ = other->GetDefaultImageEncode();
    jpegQuality_ = other->GetJpegQuality();
    other->GetImageMaxSize(&maxWidth_, &maxHeight_);
    dpi_ = other->GetDpi();
    splitImage_ = other->GetSplitImage();
    fillMultiImage_ = other->GetFillMultiImage();
    rotatePage_ = other->GetRotatePage();
    doublePage_ = other->GetDoublePage();
    createBookmark_ = other->GetCreateBookmark();
    SetBookmarkText(other->GetBookmarkText());
    imageInPage_ = other->GetImageInPage();
    imageAutoRotate_ = other->GetImageAutoRotate();
    SetTextLanguages(other->GetTextLanguages());
    uprightByText_ = other->GetUprightByText();
    while (GetWatermarkCount() > 0)
        RemoveWatermark(GetWatermarkCount() - 1);
    for (int i = 0; i < other->GetWatermarkCount(); ++i)
        if (IWatermark* w = other->GetWatermark(i))
            if (IWatermark* copy = w->Clone())
                AddWatermark(copy);
    return 1;
}

int CImageToPDFSettings::CopyInfo(int index, wchar_t* buffer, unsigned size) noexcept {
    static const std::wstring empty;
    return copyTextToBuffer(validInfo(index) ? info_[index] : empty, buffer, size);
}
