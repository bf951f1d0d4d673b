// Watermarks stamped on a finished page: texts in the bound outline font and images at
// their natural size, each with a fill opacity, placed from the top left of the page
// or stacked down its left side.
#include "CImageToPDF.h"

#include "FileFilter.h"
#include "pdf/PdfOutput.h"

#include <folimo/WideText.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <sys/stat.h>

namespace {

// "opacityfill=0.50", written without the process locale (a GUI may use a decimal
// comma).
std::wstring opacityOption(int percent) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, percent / 100.0, std::chars_format::fixed, 2);
    return L"opacityfill=" + std::wstring(buf, r.ptr);
}

// Why the path cannot be a watermark image before anything reads it, or empty when it
// may be one. Only a regular file is opened: a FIFO would hold the run forever.
std::wstring unusableFile(const std::wstring& path) {
    struct stat st {};
    if (::stat(folimo::toUtf8(path).c_str(), &st) != 0)
        return folimo::fromUtf8(std::strerror(errno));
    return S_ISREG(st.st_mode) ? std::wstring() : L"not a regular file";
}

} // namespace

void CImageToPDF::drawWatermarks(ConversionRun& run, PdfOutput& pdf, int height) {
    // Placement of the page: where the last watermark went and the size of its text.
    int lastX = 20, lastY = 20, lastSize = 10;
    auto place = [&](int storedX, int storedY, int* x, int* y) {
        *x = storedX == -1 ? lastX : storedX;
        *y = storedY == -1 ? static_cast<int>(lastY + lastSize + lastSize * 0.2) : storedY;
    };
    TextContext& context = run.context();
    const std::wstring file = context.currentFile ? context.currentFile : L"";
    for (int i = 0; i < settings_.GetWatermarkCount(); ++i) {
        IWatermark* watermark = settings_.GetWatermark(i);
        if (!watermark || !matchesFileFilter(watermark->GetFileFilter(), file))
            continue;
        int storedX = 0, storedY = 0;
        watermark->GetPosition(&storedX, &storedY);

        if (watermark->GetType() == FOLIMO_WATERMARK_TEXT) {
            auto* text = static_cast<ITextWatermark*>(watermark);
            context.kind = 0;
            std::wstring shown = text->GetText();
            if (textCallback_) {
                const wchar_t* expanded = textCallback_->ExpandText(shown.c_str(), &context);
                shown = expanded ? expanded : L"";
            }
            if (shown.empty())
                continue;
            int font = pdf.load_font(L"gothic:0", L"winansi", L"");
            if (font == -1)
                continue;
            int size = text->GetFontSize();
            pdf.setfont(font, size);
            pdf.set_gstate(pdf.create_gstate(opacityOption(watermark->GetOpacity())));
            int colour = text->GetColor();
            pdf.setcolor(L"fill", L"rgb", (colour & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0,
                         ((colour >> 16) & 0xFF) / 255.0, 0);
            int x = 0, y = 0;
            place(storedX, storedY, &x, &y);
            lastX = x;
            lastY = y;
            lastSize = size;
            pdf.show_xy(shown, x, height - y - size);
        } else if (watermark->GetType() == FOLIMO_WATERMARK_IMAGE) {
            auto* image = static_cast<IImageWatermark*>(watermark);
            std::wstring path = image->GetImagePath();
            if (path.empty())
                continue;
            std::map<std::wstring, int>& loadedImages = run.watermarkImages();
            auto cached = loadedImages.find(path);
            if (cached == loadedImages.end()) {
                // A stamp such as "confidential" must not vanish unseen: a watermark that
                // cannot be used is told once a document, and left out of its pages.
                std::wstring why = unusableFile(path);
                int loaded = why.empty() ? loadWatermarkImage(pdf, path, &why) : -1;
                cached = loadedImages.emplace(path, loaded).first;
                if (loaded == -1) {
                    std::wstring message = L"the watermark image ";
                    message.append(path).append(L" cannot be used: ").append(why);
                    run.reportError(message, FOLIMO_ERROR_WATERMARK_IMAGE, path, why);
                }
            }
            if (cached->second == -1)
                continue;
            pdf.set_gstate(pdf.create_gstate(opacityOption(watermark->GetOpacity())));
            int x = 0, y = 0;
            place(storedX, storedY, &x, &y);
            lastX = x;
            lastY = y;
            // The top edge y points below the page top: the image's height on the page,
            // which is its pixel height only at 72 dpi.
            double imageHeight = pdf.info_image(cached->second, L"height", L"");
            pdf.fit_image(cached->second, x, (height - y) - imageHeight, L"");
        }
    }
}
