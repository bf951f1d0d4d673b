// The record that tells a conversion how to build its PDF. A plain value holder: it
// validates and clamps nothing. Owns its texts and the watermarks added to it.
// No locking: written only while no conversion runs.
#pragma once

#include "CBase.h"

#include <folimo/Folimo.h>

#include <string>
#include <vector>

class CImageToPDFSettings : public CBase<IFolimoSettings> {
public:
    CImageToPDFSettings();
    ~CImageToPDFSettings() override;
    CImageToPDFSettings(const CImageToPDFSettings&) = delete;
    CImageToPDFSettings& operator=(const CImageToPDFSettings&) = delete;

    int SetInfo(int index, const wchar_t* text) noexcept override;
    const wchar_t* GetInfo(int index) noexcept override;
    int SetCustomPageSize(int width, int height) noexcept override;
    int GetCustomPageSize(int* width, int* height) noexcept override;
    int SetPageSize(int code) noexcept override;
    int GetPageSize() noexcept override;
    int SetMargin(int side, int value) noexcept override;
    int GetMargin(int side) noexcept override;
    int SetImageEncode(int code) noexcept override;
    int GetImageEncode() noexcept override;
    int SetDefaultImageEncode(int code) noexcept override;
    int GetDefaultImageEncode() noexcept override;
    int SetJpegQuality(int percent) noexcept override;
    int GetJpegQuality() noexcept override;
    int SetImageMaxSize(int maxWidth, int maxHeight) noexcept override;
    int GetImageMaxSize(int* maxWidth, int* maxHeight) noexcept override;
    int SetDpi(int dpi) noexcept override;
    int GetDpi() noexcept override;
    int SetSplitImage(int flag) noexcept override;
    int GetSplitImage() noexcept override;
    int SetFillMultiImage(int flag) noexcept override;
    int GetFillMultiImage() noexcept override;
    int GetCreateBookmark() noexcept override;
    int SetCreateBookmark(int flag) noexcept override;
    int SetBookmarkText(const wchar_t* text) noexcept override;
    const wchar_t* GetBookmarkText() noexcept override;
    int GetRotatePage() noexcept override;
    int SetRotatePage(int flag) noexcept override;
    int GetDoublePage() noexcept override;
    int SetDoublePage(int flag) noexcept override;
    int GetWatermarkCount() noexcept override;
    IWatermark* GetWatermark(int index) noexcept override;
    int AddWatermark(IWatermark* watermark) noexcept override;
    int RemoveWatermark(int index) noexcept override;
    int GetImageInPage() noexcept override;
    int SetImageInPage(int flag) noexcept override;
    int GetImageAutoRotate() noexcept override;
    int SetImageAutoRotate(int flag) noexcept override;
    int SetTextLanguages(const wchar_t* languages) noexcept override;
    const wchar_t* GetTextLanguages() noexcept override;
    int SetUprightByText(int flag) noexcept override;
    int GetUprightByText() noexcept override;

    // Copies every value of `other`; its watermarks are replaced by copies of the
    // other's.
    int CopyFrom(IFolimoSettings* other) noexcept;
    // Copies info text `index` into `buffer` of `size` characters, always terminated
    // unless size is 0; returns the text's length + 1.
    int CopyInfo(int index, wchar_t* buffer, unsigned size) noexcept;

private:
    std::wstring info_[5];
    int customWidth_ = 0;
    int customHeight_ = 0;
    int pageSize_ = 0;
    int margins_[4] = {0, 0, 0, 0};
    int imageEncode_ = 0;
    int defaultImageEncode_ = 1;
    int jpegQuality_ = 30;
    int maxWidth_ = 0;
    int maxHeight_ = 0;
    int dpi_ = 0;
    int splitImage_ = 0;
    int fillMultiImage_ = 0;
    std::vector<IWatermark*> watermarks_;
    int createBookmark_ = 0;
    int rotatePage_ = 0;
    int doublePage_ = 0;
    std::wstring bookmarkText_ = L"%FILENAME%";
    int imageInPage_ = 0;
    int imageAutoRotate_ = 0;
    std::wstring textLanguages_;
    int uprightByText_ = 0;
};
