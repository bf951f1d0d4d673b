// JPEG through TurboJPEG, with the marker segments TurboJPEG says nothing of read by
// readJpegMarkers.
#include "Codecs.h"
#include "DecodeSupport.h"
#include "JpegMarkers.h"
#include "Transform.h"

#include <turbojpeg.h>

#include <cstring>
#include <map>
#include <memory>

namespace folimo::imaging {

namespace {

// Warnings libjpeg gives for files that still show every pixel as their writer meant:
// stray bytes between segments, a broken ICC segment (dropped above anyway), header
// values newer or looser than libjpeg knows.
bool harmlessWarning(void* tj) {
    if (tjGetErrorCode(tj) != TJERR_WARNING)
        return false;
    const std::string message = tjGetErrorStr2(tj);
    for (const char* harmless :
         {"extraneous bytes before marker", "bad ICC marker", "unknown JFIF revision",
          "Unknown Adobe color transform", "Inconsistent progression sequence",
          "Invalid SOS parameters for sequential JPEG"})
        if (message.find(harmless) != std::string::npos)
            return true;
    return false;
}

[[noreturn]] void fail(void* tj, const char* context) {
    std::string message = tjGetErrorStr2(tj);
    auto kind = message.find("Unsupported") != std::string::npos ||
                        message.find("not supported") != std::string::npos
                    ? ImagingError::Unsupported
                    : ImagingError::Damaged;
    throw ImagingError(kind, std::string(context) + ": " + message);
}

struct JpegHeader {
    int width = 0;
    int height = 0;
    bool cmyk = false;
    bool grey = false;
};

JpegHeader readHeader(void* tj, std::span<const std::uint8_t> bytes, const Limits& limits) {
    JpegHeader h;
    int subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(tj, bytes.data(), bytes.size(), &h.width, &h.height, &subsampling,
                            &colorspace) != 0 &&
        !harmlessWarning(tj))
        fail(tj, "the JPEG file is damaged");
    support::checkDimensions(std::uint64_t(h.width), std::uint64_t(h.height), limits);
    h.cmyk = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK;
    h.grey = colorspace == TJCS_GRAY;
    return h;
}

// CMYK is decoded as four bytes a pixel before it becomes RGB.
PixelFormat decodedFormat(const JpegHeader& h) {
    return h.cmyk ? PixelFormat::Rgba32 : h.grey ? PixelFormat::Gray8 : PixelFormat::Rgb24;
}

} // namespace

std::optional<PictureInfo> probeJpeg(std::span<const std::uint8_t> bytes, const Limits& limits) {
    std::unique_ptr<void, support::Release<tjDestroy>> tj(tjInitDecompress());
    if (!tj)
        throw std::bad_alloc();
    const JpegHeader h = readHeader(tj.get(), bytes, limits);
    Bitmap::checkSize(h.width, h.height, decodedFormat(h), limits);
    const JpegMarkers markers = readJpegMarkers(bytes);
    // As reorient() turns the picture and its resolution.
    const bool transposed = markers.orientation >= 5 && markers.orientation <= 8;
    PictureInfo info{h.width, h.height, markers.dpiX, markers.dpiY, bitsPerPixel(decodedFormat(h))};
    if (transposed) {
        std::swap(info.width, info.height);
        std::swap(info.dpiX, info.dpiY);
    }
    return info;
}

namespace {

// Luminance only, for `greyOnly`, where the file has it: a CMYK file has none of its own
// and is decoded whole.
Bitmap decodeJpegAs(std::span<const std::uint8_t> bytes, const Limits& limits, bool greyOnly) {
    std::unique_ptr<void, support::Release<tjDestroy>> tj(tjInitDecompress());
    if (!tj)
        throw std::bad_alloc();
    const JpegHeader header = readHeader(tj.get(), bytes, limits);
    const int width = header.width, height = header.height;

    JpegMarkers markers = readJpegMarkers(bytes);
    const bool cmyk = header.cmyk;
    const bool grey = header.grey || (greyOnly && !cmyk);
    const PixelFormat decodeAs = cmyk   ? PixelFormat::Rgba32
                                 : grey ? PixelFormat::Gray8
                                        : PixelFormat::Rgb24;
    Bitmap bitmap = Bitmap::create(width, height, decodeAs, limits);
    const int pixelFormat = cmyk ? TJPF_CMYK : grey ? TJPF_GRAY : TJPF_RGB;
    const int flags = TJFLAG_ACCURATEDCT | TJFLAG_LIMITSCANS;
    if (tjDecompress2(tj.get(), bytes.data(), bytes.size(), bitmap.pixels.data(), width,
                      int(bitmap.stride), height, pixelFormat, flags) != 0) {
        // A cut-off file "decodes" with its missing part grey, behind only a warning;
        // the user should hear that the file is damaged instead.
        if (!harmlessWarning(tj.get()))
            fail(tj.get(), "the JPEG file is damaged");
    }

    if (cmyk) {
        // Converted in place: each RGB pixel lands at or before the CMYK pixel it
        // came from, and rows are contiguous (stride = 4 x width).
        std::size_t pixels = std::size_t(width) * std::size_t(height);
        support::cmykToRgb(bitmap.pixels.data(), bitmap.pixels.data(), pixels, markers.adobe);
        bitmap.format = PixelFormat::Rgb24;
        bitmap.stride = std::size_t(width) * 3;
        bitmap.pixels.resize(bitmap.stride * std::size_t(height));
    }
    bitmap.dpiX = markers.dpiX;
    bitmap.dpiY = markers.dpiY;
    bitmap.iccProfile = std::move(markers.iccProfile);
    // Cameras store the sensor's rows and say in EXIF how to turn them: the picture is
    // made upright here, as every viewer shows it.
    return reorient(std::move(bitmap), markers.orientation, limits);
}

} // namespace

Bitmap decodeJpeg(std::span<const std::uint8_t> bytes, const Limits& limits) {
    return decodeJpegAs(bytes, limits, false);
}

Bitmap decodeJpegGrey(std::span<const std::uint8_t> bytes, const Limits& limits) {
    return decodeJpegAs(bytes, limits, true);
}

} // namespace folimo::imaging
