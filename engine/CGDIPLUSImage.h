// The engine's image object (IXImage) over the imaging service: read a file, then
// save it re-encoded into memory, optionally shrunk, grey and with a resolution.
// Load reads only the headers, for the size and resolution an image list shows of
// every file; the pixels are decoded when first needed, and a file whose pixel data
// is damaged says so then.
// One object is used by one thread at a time; Load may run on any thread.
#pragma once

#include "CBase.h"
#include "imaging/Bitmap.h"
#include "imaging/Codecs.h"

#include <folimo/Folimo.h>

#include <memory>
#include <span>
#include <string>

namespace folimo::pdf {
class MappedFile;
}

// What saving a picture holds at its peak beside its file: the picture, a grey or shrunk
// copy when one is made, and the encoded file twice (the encoder's, and the copy handed
// over).
std::uint64_t savePeakBytes(const folimo::imaging::PictureInfo& info, int encoder, bool copy);

class CGDIPLUSImage : public CBase<IXImage> {
public:
    CGDIPLUSImage();
    ~CGDIPLUSImage() override;
    CGDIPLUSImage(const CGDIPLUSImage&) = delete;
    CGDIPLUSImage& operator=(const CGDIPLUSImage&) = delete;

    int Load(const wchar_t* path) noexcept override;
    // The same for a file the caller has read and recognised already, and for page
    // `page` (from 0) of a multi-page TIFF. The object keeps a view of `bytes`, not a
    // copy: they must stay as they are until it is released or loaded again.
    int Load(std::span<const std::uint8_t> bytes, folimo::imaging::ImageFormat format,
             int page = 0) noexcept;
    // Encoder 1 JPEG, 2 PNG, 3 GIF, 4 TIFF. Returns the byte count, 0 on failure; the
    // data is freed with FreeMemory.
    int SaveToMemory(void** data, int encoder, const wchar_t* type) noexcept override;
    void FreeMemory(void* data) noexcept override;
    int Reserved(void*) noexcept override { return 0; }
    int GetSize(int* width, int* height) noexcept override;
    int SetTargetSize(int width, int height) noexcept override;
    // Dots per inch, truncated; an image whose file gives none reads as 72.
    int GetResolution() noexcept override;
    int SetResolution(int dpi) noexcept override;
    void SetGrayscale() noexcept override { grey_ = 1; }
    int SetQuality(int percent) noexcept override;

    // Whether the picture is black and white only (imaging::isBlackAndWhite); decodes
    // it. Such a picture is best saved with SaveAsFax, whatever the encoder.
    bool IsBlackAndWhite() noexcept;
    // As SaveToMemory, as a CCITT Group 4 TIFF (imaging::encodeFax): lossless, shrunk
    // to the target size as imaging::resizeBlackAndWhite does, never grey. 0 when the
    // picture is not black and white.
    int SaveAsFax(void** data) noexcept;

    // Why the last Load or SaveToMemory failed, for messages.
    const std::string& LastError() const { return lastError_; }

private:
    int load(std::unique_ptr<folimo::pdf::MappedFile> file, std::span<const std::uint8_t> bytes,
             folimo::imaging::ImageFormat format, int page) noexcept;
    // The decoded picture, decoding it first if need be; null, with lastError_ set, when
    // it cannot be.
    folimo::imaging::Bitmap* pixels() noexcept;
    // SaveToMemory and SaveAsFax: with a MIME type, through its encoder; without, as a fax.
    // `encoder` (SaveToMemory's number) sizes the output the memory check allows for.
    int save(void** data, const char* mimeType, int encoder) noexcept;

    // What Load found. The file's bytes are kept until the pixels are decoded: those of
    // a file Load read itself in file_, or the caller's in view only.
    bool loaded_ = false;
    std::unique_ptr<folimo::pdf::MappedFile> file_;
    std::span<const std::uint8_t> bytes_;
    folimo::imaging::ImageFormat format_ = folimo::imaging::ImageFormat::Unknown;
    int page_ = 0;
    folimo::imaging::PictureInfo info_;
    std::unique_ptr<folimo::imaging::Bitmap> bitmap_;
    bool undecodable_ = false; // the pixels were tried and failed: not tried again
    int targetWidth_ = 0;
    int targetHeight_ = 0;
    int resolution_ = 0;
    int grey_ = 0;
    int quality_ = 0;
    std::string lastError_;
};
