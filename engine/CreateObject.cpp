#include "CGDIPLUSImage.h"
#include "CImageToPDF.h"
#include "CImageToPDFSettings.h"
#include "CImageWatermark.h"
#include "CTextWatermark.h"

#include <folimo/Folimo.h>

#include <new>

extern "C" __attribute__((visibility("default"))) int CreateObject(int kind, void** out) noexcept {
    if (!out)
        return 1;
    try {
        switch (kind) {
        case FOLIMO_ENGINE:
            *out = static_cast<IFolimo*>(new (std::nothrow) CImageToPDF);
            break;
        case FOLIMO_SETTINGS:
            *out = static_cast<IFolimoSettings*>(new (std::nothrow) CImageToPDFSettings);
            break;
        case FOLIMO_TEXT_WATERMARK:
            *out = static_cast<ITextWatermark*>(new (std::nothrow) CTextWatermark);
            break;
        case FOLIMO_IMAGE_WATERMARK:
            *out = static_cast<IImageWatermark*>(new (std::nothrow) CImageWatermark);
            break;
        case FOLIMO_IMAGE:
            *out = static_cast<IXImage*>(new (std::nothrow) CGDIPLUSImage);
            break;
        default:
            // Unknown kinds leave *out as the caller set it.
            break;
        }
    } catch (...) {
        *out = nullptr;
    }
    return 1;
}
