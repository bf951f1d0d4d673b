#include "CTextWatermark.h"

#include "CopyText.h"

IWatermark* CTextWatermark::Clone() noexcept {
    try {
        return new CTextWatermark(*this);
    } catch (...) {
        return nullptr;
    }
}

int CTextWatermark::SetText(const wchar_t* text) noexcept {
    assign(text_, text);
    return 1;
}

int CTextWatermark::SetFontSize(int size) noexcept {
    fontSize_ = size;
    return 1;
}

int CTextWatermark::GetFontSize() noexcept {
    return fontSize_ > 0 ? fontSize_ : 20;
}

int CTextWatermark::SetColor(int color) noexcept {
    color_ = color;
    return 1;
}

int CTextWatermark::CopyText(wchar_t* buffer, int* length) noexcept {
    return copyTextOut(text_, buffer, length);
}
