// JPEG through TurboJPEG. TurboJPEG says nothing of the marker segments before the
// first scan, so those (JFIF and EXIF resolution, the ICC profile, Adobe's segment)
// are read here from the bytes.
#include "Codecs.h"
#include "DecodeSupport.h"
#include "Transform.h"

#include <turbojpeg.h>

#include <cstring>
#include <map>
#include <memory>

namespace folimo::imaging {

namespace {

struct JpegMarkers {
    double dpiX = 0;
    double dpiY = 0;
    int orientation = 1; // EXIF: how the stored picture is turned or mirrored
    bool adobe = false;
    std::string iccProfile;
};

void readJfif(std::span<const std::uint8_t> p, JpegMarkers& m) {
    if (p.size() < 12 || std::memcmp(p.data(), "JFIF\0", 5) != 0)
        return;
    unsigned unit = p[7];
    double x = support::loadBe16(p.data() + 8), y = support::loadBe16(p.data() + 10);
    // Unit 0 gives only the pixels' shape, not their size.
    if (unit == 1) {
        m.dpiX = x;
        m.dpiY = y;
    } else if (unit == 2) {
        m.dpiX = support::dpiFromPixelsPerCentimetre(x);
        m.dpiY = support::dpiFromPixelsPerCentimetre(y);
    }
}

void readExifResolution(std::span<const std::uint8_t> p, double& dpiX, double& dpiY,
                        int& orientation) {
    if (p.size() < 14 || std::memcmp(p.data(), "Exif\0\0", 6) != 0)
        return;
    double x = 0, y = 0, unit = 2;
    for (const support::TiffField& f : support::readFirstTiffDirectory(p.subspan(6))) {
        if (f.tag == 0x0112 && f.value >= 1 && f.value <= 8)
            orientation = static_cast<int>(f.value);
        else if (f.tag == 0x011A)
            x = f.value;
        else if (f.tag == 0x011B)
            y = f.value;
        else if (f.tag == 0x0128)
            unit = f.value;
    }
    if (x <= 0 || y <= 0)
        return;
    if (unit == 2) {
        dpiX = x;
        dpiY = y;
    } else if (unit == 3) {
        dpiX = support::dpiFromPixelsPerCentimetre(x);
        dpiY = support::dpiFromPixelsPerCentimetre(y);
    }
}

// Walks the segments up to the first scan. A file cut short or malformed here is left
// to TurboJPEG to report; this only gathers what it can.
JpegMarkers readMarkers(std::span<const std::uint8_t> bytes) {
    JpegMarkers m;
    std::map<unsigned, std::span<const std::uint8_t>> iccChunks;
    unsigned iccCount = 0;
    bool iccBroken = false;
    double exifX = 0, exifY = 0;
    std::size_t pos = 2;
    while (pos + 4 <= bytes.size()) {
        if (bytes[pos] != 0xFF)
            break;
        unsigned marker = bytes[pos + 1];
        if (marker == 0xFF) { // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9)
            break;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2;
            continue;
        }
        std::size_t length = support::loadBe16(bytes.data() + pos + 2);
        if (length < 2 || pos + 2 + length > bytes.size())
            break;
        auto payload = bytes.subspan(pos + 4, length - 2);
        if (marker == 0xE0) {
            readJfif(payload, m);
        } else if (marker == 0xE1) {
            readExifResolution(payload, exifX, exifY, m.orientation);
        } else if (marker == 0xE2 && payload.size() >= 14 &&
                   std::memcmp(payload.data(), "ICC_PROFILE\0", 12) == 0) {
            unsigned seq = payload[12], count = payload[13];
            if (seq == 0 || seq > count || (iccCount != 0 && count != iccCount) ||
                iccChunks.count(seq))
                iccBroken = true;
            iccCount = count;
            iccChunks[seq] = payload.subspan(14);
        } else if (marker == 0xEE && payload.size() >= 12 &&
                   std::memcmp(payload.data(), "Adobe", 5) == 0) {
            m.adobe = true;
        }
        pos += 2 + length;
    }
    if (m.dpiX <= 0 || m.dpiY <= 0) {
        m.dpiX = exifX;
        m.dpiY = exifY;
    }
    // A profile with a chunk missing would describe the colours wrongly; none is better.
    if (!iccBroken && iccCount != 0 && iccChunks.size() == iccCount)
        for (auto& [seq, chunk] : iccChunks)
            m.iccProfile.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
    return m;
}

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

    JpegMarkers markers = readMarkers(bytes);
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
