#include "ReencodeJob.h"

#include "CGDIPLUSImage.h"

#include <new>

ReencodeResult reencode(const ReencodeParams& p) noexcept {
    ReencodeResult result;
    auto* created = new (std::nothrow) CGDIPLUSImage;
    if (!created) {
        result.error = "out of memory";
        return result;
    }
    struct Release {
        void operator()(CGDIPLUSImage* image) const { image->Release(); }
    };
    std::unique_ptr<CGDIPLUSImage, Release> image(created);
    if (image->Load(p.path.c_str()) != 0) {
        result.error = image->LastError();
        return result;
    }
    if (p.grey)
        image->SetGrayscale();
    if (!(p.maxWidth == -1 && p.maxHeight == -1)) {
        int w = 0, h = 0;
        image->GetSize(&w, &h);
        if ((p.maxWidth != 0 && p.maxWidth < w) || (p.maxHeight != 0 && p.maxHeight < h)) {
            double fx = p.maxWidth > 0 ? double(w) / p.maxWidth : 1;
            double fy = p.maxHeight > 0 ? double(h) / p.maxHeight : 1;
            double f = fx > fy ? fx : fy;
            image->SetTargetSize(static_cast<int>(w / f), static_cast<int>(h / f));
        }
    }
    if (p.dpi != 0 && p.dpi != -1)
        image->SetResolution(p.dpi);
    if (p.encoder == 1)
        image->SetQuality(p.quality);
    void* data = nullptr;
    result.size = image->SaveToMemory(&data, p.encoder, L"");
    result.data.reset(data);
    if (result.size == 0)
        result.error = image->LastError();
    return result;
}
