#include "CGDIPLUSImage.h"

#include "base/MappedFile.h"
#include "base/PdfError.h"
#include "imaging/Codecs.h"
#include "imaging/Transform.h"

#include <folimo/WideText.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace {

const char* mimeTypeOf(int encoder) {
    switch (encoder) {
    case 1:
        return "image/jpeg";
    case 2:
        return "image/png";
    case 3:
        return "image/gif";
    case 4:
        return "image/tiff";
    default:
        return nullptr;
    }
}

} // namespace

std::uint64_t savePeakBytes(const folimo::imaging::PictureInfo& info, int encoder, bool copy) {
    const std::uint64_t picture = folimo::imaging::pictureBytes(info);
    // JPEG and GIF files come to a quarter of the picture at most in practice; PNG and
    // TIFF files can be as large as the picture.
    const bool lossless = encoder == 2 || encoder == 4;
    return picture * (copy ? 2 : 1) + 2 * (lossless ? picture : picture / 4);
}

CGDIPLUSImage::CGDIPLUSImage() = default;

CGDIPLUSImage::~CGDIPLUSImage() = default;

int CGDIPLUSImage::Load(const wchar_t* path) noexcept {
    try {
        auto file = std::make_unique<folimo::pdf::MappedFile>(folimo::toUtf8(path ? path : L""),
                                                              folimo::imaging::Limits{}.maxBytes,
                                                              folimo::imaging::unreadReason);
        const std::span<const std::uint8_t> bytes = file->bytes();
        return load(std::move(file), bytes, folimo::imaging::detectFormat(bytes), 0);
    } catch (const std::exception& e) {
        lastError_ = e.what();
    } catch (...) {
        lastError_ = "the image could not be read";
    }
    return E_FAIL;
}

// A view rather than a copy: the one caller (the re-encoding job) holds the file for
// the object's whole life, and a copy of every file would double what a conversion
// holds at its peak.
int CGDIPLUSImage::Load(std::span<const std::uint8_t> bytes, folimo::imaging::ImageFormat format,
                        int page) noexcept {
    return load(nullptr, bytes, format, page);
}

int CGDIPLUSImage::load(std::unique_ptr<folimo::pdf::MappedFile> file,
                        std::span<const std::uint8_t> bytes, folimo::imaging::ImageFormat format,
                        int page) noexcept {
    try {
        using namespace folimo::imaging;
        std::optional<PictureInfo> info = probe(bytes, format, {}, page);
        std::unique_ptr<Bitmap> bitmap;
        if (!info) {
            // Only decoding tells: the pixels are had now, and the bytes are done with.
            bitmap = std::make_unique<Bitmap>(decode(bytes, format, {}, page));
            info = PictureInfo{bitmap->width, bitmap->height, bitmap->dpiX, bitmap->dpiY};
            file.reset();
            bytes = {};
        }
        // Nothing changes before here: a failed Load leaves the picture loaded before.
        file_ = std::move(file);
        bytes_ = bytes;
        format_ = format;
        page_ = page;
        info_ = *info;
        bitmap_ = std::move(bitmap);
        undecodable_ = false;
        loaded_ = true;
        lastError_.clear();
        return 0;
    } catch (const std::exception& e) {
        lastError_ = e.what();
    } catch (...) {
        lastError_ = "the image could not be decoded";
    }
    return E_FAIL;
}

folimo::imaging::Bitmap* CGDIPLUSImage::pixels() noexcept {
    if (bitmap_ || !loaded_ || undecodable_)
        return bitmap_.get();
    undecodable_ = true;
    try {
        bitmap_ = std::make_unique<folimo::imaging::Bitmap>(
            folimo::imaging::decode(bytes_, format_, {}, page_));
        file_.reset();
        bytes_ = {};
        undecodable_ = false;
    } catch (const std::exception& e) {
        lastError_ = e.what();
    } catch (...) {
        lastError_ = "the image could not be decoded";
    }
    return bitmap_.get();
}

// Once decoded, the bitmap speaks: a resolution given for saving stays with it, as it
// always has.
int CGDIPLUSImage::GetSize(int* width, int* height) noexcept {
    if (!loaded_)
        return E_FAIL;
    if (width)
        *width = bitmap_ ? bitmap_->width : info_.width;
    if (height)
        *height = bitmap_ ? bitmap_->height : info_.height;
    return 0;
}

int CGDIPLUSImage::SetTargetSize(int width, int height) noexcept {
    targetWidth_ = width;
    targetHeight_ = height;
    return 0;
}

int CGDIPLUSImage::GetResolution() noexcept {
    if (!loaded_)
        return 0;
    const double dpi = bitmap_ ? bitmap_->dpiX : info_.dpiX;
    return dpi > 0 ? static_cast<int>(dpi) : 72;
}

int CGDIPLUSImage::SetResolution(int dpi) noexcept {
    return resolution_ = dpi;
}

int CGDIPLUSImage::SetQuality(int percent) noexcept {
    return quality_ = percent;
}

bool CGDIPLUSImage::IsBlackAndWhite() noexcept {
    const folimo::imaging::Bitmap* bitmap = pixels();
    return bitmap && folimo::imaging::isBlackAndWhite(*bitmap);
}

int CGDIPLUSImage::SaveToMemory(void** data, int encoder, const wchar_t*) noexcept {
    const char* mime = mimeTypeOf(encoder);
    if (!mime || !folimo::imaging::hasEncoder(mime)) {
        lastError_ = "no encoder for encoder number " + std::to_string(encoder);
        if (data)
            *data = nullptr;
        return 0;
    }
    return save(data, mime, encoder);
}

// A fax is a TIFF, and charged as one: lossless, at the picture's own bits a pixel.
int CGDIPLUSImage::SaveAsFax(void** data) noexcept {
    return save(data, nullptr, 4);
}

int CGDIPLUSImage::save(void** data, const char* mime, int encoder) noexcept {
    if (!data || !loaded_)
        return 0;
    *data = nullptr;
    try {
        using namespace folimo::imaging;
        // Refused before anything is decoded, whatever the picture would leave of the
        // memory allowed for one image to the copies made around it.
        const bool copies = grey_ || (targetWidth_ != 0 && targetHeight_ != 0);
        if (!bitmap_) {
            const std::uint64_t peak = bytes_.size() + savePeakBytes(info_, encoder, copies);
            if (peak > Limits{}.maxBytes)
                refuseMemory(info_.width, info_.height, peak);
        }
        if (!pixels())
            return 0;
        // The source: the grey copy when asked for, else the bitmap itself. Black and
        // white is grey already, and a grey copy would take it to eight bits.
        std::unique_ptr<Bitmap> temporary;
        const Bitmap* source = bitmap_.get();
        if (grey_ && mime) {
            temporary = std::make_unique<Bitmap>(toGrey(*bitmap_));
            source = temporary.get();
        }
        if (resolution_ != 0) {
            Bitmap* target = temporary ? temporary.get() : bitmap_.get();
            target->dpiX = target->dpiY = resolution_;
        }
        if (targetWidth_ != 0 && targetHeight_ != 0) {
            if (targetWidth_ < 0 || targetHeight_ < 0) {
                lastError_ = "no image can be made at a negative size";
                return 0;
            }
            // Never an enlargement made by accident: the engine asks only for smaller
            // sizes, and a resize to the same size is a plain copy.
            Bitmap thumbnail = mime ? resize(*source, targetWidth_, targetHeight_)
                                    : resizeBlackAndWhite(*source, targetWidth_, targetHeight_);
            temporary = std::make_unique<Bitmap>(std::move(thumbnail));
            source = temporary.get();
        }
        std::string bytes = mime ? encode(*source, mime, quality_) : encodeFax(*source);
        if (bytes.empty() || bytes.size() > 0x7fffffff) {
            lastError_ = "the encoded image is empty or too large";
            return 0;
        }
        void* out = std::malloc(bytes.size());
        if (!out) {
            lastError_ = "out of memory";
            return 0;
        }
        std::copy(bytes.begin(), bytes.end(), static_cast<char*>(out));
        *data = out;
        return static_cast<int>(bytes.size());
    } catch (const std::exception& e) {
        lastError_ = e.what();
    } catch (...) {
        lastError_ = "the image could not be encoded";
    }
    return 0;
}

void CGDIPLUSImage::FreeMemory(void* data) noexcept {
    std::free(data);
}
