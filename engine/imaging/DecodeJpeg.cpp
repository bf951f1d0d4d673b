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

} // namespace

Bitmap decodeJpeg(std::span<const std::uint8_t> bytes, const Limits& limits) {
    std::unique_ptr<void, support::Release<tjDestroy>> tj(tjInitDecompress());
    if (!tj)
        throw std::bad_alloc();
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(tj.get(), bytes.data(), bytes.size(), &width, &height, &subsampling,
                            &colorspace) != 0 &&
        !harmlessWarning(tj.get()))
        fail(tj.get(), "the JPEG file is damaged");
    support::checkDimensions(std::uint64_t(width), std::uint64_t(height), limits);

    JpegMarkers markers = readJpegMarkers(bytes);
    const bool cmyk = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK;
    const bool grey = colorspace == TJCS_GRAY;
    PixelFormat decodeAs = cmyk   ? PixelFormat::Rgba32
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

} // namespace folimo::imaging
