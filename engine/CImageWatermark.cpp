#include "CImageWatermark.h"

#include "CopyText.h"

IWatermark* CImageWatermark::Clone() noexcept {
    try {
        return new CImageWatermark(*this);
    } catch (...) {
        return nullptr;
    }
}

int CImageWatermark::SetImagePath(const wchar_t* path) noexcept {
    assign(path_, path);
    return 1;
}

int CImageWatermark::CopyImagePath(wchar_t* buffer, int* length) noexcept {
    return copyTextOut(path_, buffer, length);
}
