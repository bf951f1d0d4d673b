#pragma once

#include "IWatermarkImpl.h"

class CTextWatermark : public IWatermarkImpl<ITextWatermark> {
public:
    IWatermark* Clone() noexcept override;
    int GetType() noexcept override { return 1; }
    int SetText(const wchar_t* text) noexcept override;
    const wchar_t* GetText() noexcept override { return text_.c_str(); }
    int SetFontSize(int size) noexcept override;
    // A size of 0 or less reads as 20 points.
    int GetFontSize() noexcept override;
    int SetColor(int color) noexcept override;
    int GetColor() noexcept override { return color_; }

    int CopyText(wchar_t* buffer, int* length) noexcept;

private:
    std::wstring text_;
    int fontSize_ = 8;
    int color_ = 0;
};
