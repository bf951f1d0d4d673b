// Recognising a file's format by its first bytes, and decode() on top of it.
//
// Signatures that cannot be mistaken come first. The weaker ones (a headerless DIB,
// an icon directory, a JBIG header: all just a few plausible numbers) follow, and
// LibRaw, the costliest, only sees what nothing else claimed, plus TIFF-structured
// files, since most camera raw formats are TIFF underneath.
//
// When a TIFF is camera raw: LibRaw must accept it (it knows the camera and found raw
// sensor data; its identify already turns away TIFFs whose main image is 8-bit or
// three-sample, which is what ordinary writers produce), and the first directory
// must not itself be a picture libtiff would show in full. It is not when the file is
// a DNG, when that directory is marked as a reduced-resolution preview, when it holds
// CFA or linear raw samples, when libtiff has no codec for its compression, or when
// its size differs from the sensor data LibRaw found (a camera's preview). Anything
// else stays Tiff: a scanner's 16-bit grey TIFF that happens to carry a camera maker's
// name decodes better as the picture it is than as a sensor mosaic.
#include "Codecs.h"
#include "DecodeSupport.h"
#include "Transform.h"

#include <libraw/libraw.h>
#include <tiffio.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>

namespace folimo::imaging {

namespace {

using support::loadBe16;
using support::loadBe32;
using support::loadLe16;
using support::loadLe32;

bool startsWith(std::span<const std::uint8_t> b, std::initializer_list<int> prefix) {
    if (b.size() < prefix.size())
        return false;
    std::size_t i = 0;
    for (int c : prefix)
        if (b[i++] != c)
            return false;
    return true;
}

bool isDibHeaderSize(std::uint32_t size) {
    return size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
}

// A BITMAPINFOHEADER (or a later version) at offset 0, as clipboard data and some
// resource extractors leave it.
bool isHeaderlessDib(std::span<const std::uint8_t> b) {
    if (b.size() < 20 || !isDibHeaderSize(loadLe32(b.data())))
        return false;
    auto width = std::int32_t(loadLe32(b.data() + 4));
    auto height = std::int32_t(loadLe32(b.data() + 8));
    unsigned planes = loadLe16(b.data() + 12);
    unsigned bits = loadLe16(b.data() + 14);
    std::uint32_t compression = loadLe32(b.data() + 16);
    bool bitsOk = bits == 0 || bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 ||
                  bits == 24 || bits == 32 || bits == 64;
    bool compressionOk = compression <= 6 || (compression >= 11 && compression <= 13);
    return width > 0 && height != 0 && height != INT32_MIN && planes == 1 && bitsOk &&
           compressionOk;
}

// Icons (type 1) and cursors (type 2): a count and directory entries whose fields
// point past the directory.
bool isIconDirectory(std::span<const std::uint8_t> b) {
    if (b.size() < 22 || b[0] != 0 || b[1] != 0 || (b[2] != 1 && b[2] != 2) || b[3] != 0)
        return false;
    std::size_t count = loadLe16(b.data() + 4);
    if (count == 0)
        return false;
    std::size_t directoryEnd = 6 + 16 * count;
    for (std::size_t i = 0; i < count && 6 + 16 * (i + 1) <= b.size(); ++i) {
        const std::uint8_t* e = b.data() + 6 + 16 * i;
        std::uint32_t size = loadLe32(e + 8);
        std::uint32_t offset = loadLe32(e + 12);
        if ((e[3] != 0 && e[3] != 255) || size == 0 || offset < directoryEnd || offset > 0x7FFFFFFF)
            return false;
    }
    return true;
}

// A JBIG BIE header as jbigkit's decoder would take it: starting at the lowest layer,
// zero padding, no unknown order or option bits, non-zero dimensions and stripe size.
bool isJbigHeader(std::span<const std::uint8_t> b) {
    if (b.size() < 20)
        return false;
    unsigned dl = b[0], d = b[1], planes = b[2];
    std::uint32_t xd = loadBe32(b.data() + 4), yd = loadBe32(b.data() + 8);
    std::uint32_t l0 = loadBe32(b.data() + 12);
    unsigned mx = b[16], my = b[17], order = b[18], options = b[19];
    return dl == 0 && d <= 31 && planes >= 1 && planes <= 16 && b[3] == 0 && xd != 0 && yd != 0 &&
           l0 != 0 && mx <= 127 && my == 0 && (order & 0xF0) == 0 && (options & 0x80) == 0;
}

void ignoreDataError(void*, const char*, const int) {}

struct RawFacts {
    bool accepted = false;
    bool dng = false;
    unsigned rawWidth = 0;
    unsigned rawHeight = 0;
};

RawFacts identifyRaw(std::span<const std::uint8_t> b) {
    RawFacts facts;
    std::unique_ptr<libraw_data_t, support::Release<libraw_close>> raw(libraw_init(0));
    if (!raw)
        return facts;
    libraw_set_dataerror_handler(raw.get(), ignoreDataError, nullptr);
    // LibRaw only reads the buffer; its interface predates const.
    int rc = libraw_open_buffer(raw.get(), const_cast<std::uint8_t*>(b.data()), b.size());
    if (rc != LIBRAW_SUCCESS)
        return facts;
    facts.rawWidth = raw->sizes.raw_width;
    facts.rawHeight = raw->sizes.raw_height;
    facts.dng = raw->idata.dng_version != 0;
    facts.accepted = facts.rawWidth > 0 && facts.rawHeight > 0;
    return facts;
}

bool tiffIsCameraRaw(std::span<const std::uint8_t> b) {
    RawFacts raw = identifyRaw(b);
    if (!raw.accepted)
        return false;
    if (raw.dng)
        return true;
    double subfile = 0, width = 0, height = 0, compression = 1, photometric = -1;
    for (const support::TiffField& f : support::readFirstTiffDirectory(b)) {
        switch (f.tag) {
        case 254:
            subfile = f.value;
            break;
        case 256:
            width = f.value;
            break;
        case 257:
            height = f.value;
            break;
        case 259:
            compression = f.value;
            break;
        case 262:
            photometric = f.value;
            break;
        default:
            break;
        }
    }
    bool reduced = (unsigned(subfile) & 1) != 0;
    bool sensorSamples = photometric == 32803 || photometric == 34892;
    bool decodable = compression >= 1 && compression <= 65535 &&
                     TIFFIsCODECConfigured(std::uint16_t(compression));
    bool sameSize = width == raw.rawWidth && height == raw.rawHeight;
    return reduced || sensorSamples || !decodable || !sameSize;
}

} // namespace

ImageFormat detectFormat(std::span<const std::uint8_t> b) {
    if (startsWith(b, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}))
        return ImageFormat::Png;
    if (startsWith(b, {0x8A, 'M', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}))
        return ImageFormat::Mng;
    if (startsWith(b, {0xFF, 0xD8, 0xFF}))
        return ImageFormat::Jpeg;
    if (startsWith(b, {'G', 'I', 'F', '8', '7', 'a'}) ||
        startsWith(b, {'G', 'I', 'F', '8', '9', 'a'}))
        return ImageFormat::Gif;
    if (startsWith(b, {'B', 'M'}) && b.size() >= 18) {
        std::uint32_t header = loadLe32(b.data() + 14);
        if (header == 12 || header == 16 || header == 64 || isDibHeaderSize(header))
            return ImageFormat::Bmp;
    }
    if (startsWith(b, {'I', 'I', 42, 0}) || startsWith(b, {'M', 'M', 0, 42}))
        return tiffIsCameraRaw(b) ? ImageFormat::Raw : ImageFormat::Tiff;
    if (startsWith(b, {'I', 'I', 43, 0}) || startsWith(b, {'M', 'M', 0, 43}))
        return ImageFormat::Tiff; // BigTIFF: no camera writes it
    if (startsWith(b, {'R', 'I', 'F', 'F'}) && b.size() >= 12 && b[8] == 'W' && b[9] == 'E' &&
        b[10] == 'B' && b[11] == 'P')
        return ImageFormat::WebP;
    if (ImageFormat heif = support::heifBrand(b); heif != ImageFormat::Unknown)
        return heif;
    if (startsWith(b, {'8', 'B', 'P', 'S'}) && b.size() >= 6 &&
        (loadBe16(b.data() + 4) == 1 || loadBe16(b.data() + 4) == 2))
        return ImageFormat::Psd;
    // A JBIG header with one plane and a single layer starts 00 00 01 00 like an icon
    // file, so the icon directory must convince first.
    if (isIconDirectory(b))
        return ImageFormat::Ico;
    if (isHeaderlessDib(b))
        return ImageFormat::Bmp;
    if (isJbigHeader(b))
        return ImageFormat::Jbig;
    if (!b.empty() && identifyRaw(b).accepted)
        return ImageFormat::Raw;
    return ImageFormat::Unknown;
}

const char* formatName(ImageFormat format) {
    switch (format) {
    case ImageFormat::Bmp:
        return "BMP";
    case ImageFormat::Gif:
        return "GIF";
    case ImageFormat::Png:
        return "PNG";
    case ImageFormat::Jpeg:
        return "JPEG";
    case ImageFormat::Tiff:
        return "TIFF";
    case ImageFormat::WebP:
        return "WebP";
    case ImageFormat::Psd:
        return "PSD";
    case ImageFormat::Ico:
        return "ICO";
    case ImageFormat::Mng:
        return "MNG";
    case ImageFormat::Jbig:
        return "JBIG";
    case ImageFormat::Raw:
        return "camera raw";
    case ImageFormat::Heif:
        return "HEIF";
    case ImageFormat::Avif:
        return "AVIF";
    case ImageFormat::Unknown:
        break;
    }
    return "unknown";
}

Bitmap decode(std::span<const std::uint8_t> bytes, const Limits& limits) {
    return decode(bytes, detectFormat(bytes), limits);
}

namespace {

// What both decode() and probe() refuse before a format's reader sees the file.
void checkRequest(std::span<const std::uint8_t> bytes, ImageFormat format, int page) {
    if (bytes.empty())
        throw ImagingError(ImagingError::Damaged, "the file is empty");
    if (page != 0 && format != ImageFormat::Tiff)
        throw ImagingError(ImagingError::Unsupported, "the image has only one page");
}

[[noreturn]] void unknownFormat() {
    throw ImagingError(ImagingError::Unsupported, "not an image file in a known format");
}

} // namespace

std::string unreadReason(std::span<const std::uint8_t> head, std::uint64_t size) {
    switch (detectFormat(head)) {
    case ImageFormat::Jpeg:
    case ImageFormat::Png:
    case ImageFormat::Tiff:
        return {};
    case ImageFormat::Unknown:
        return "not an image file in a known format";
    default:
        return "the file of " + byteCount(size) + " is larger than the " +
               byteCount(Limits{}.maxBytes) + " allowed for one image";
    }
}

Bitmap decode(std::span<const std::uint8_t> bytes, ImageFormat format, const Limits& limits,
              int page) {
    checkRequest(bytes, format, page);
    try {
        switch (format) {
        case ImageFormat::Bmp:
            return decodeBmp(bytes, limits);
        case ImageFormat::Gif:
            return decodeGif(bytes, limits);
        case ImageFormat::Png:
            return decodePng(bytes, limits);
        case ImageFormat::Jpeg:
            return decodeJpeg(bytes, limits);
        case ImageFormat::Tiff:
            return decodeTiff(bytes, limits, page);
        case ImageFormat::WebP:
            return decodeWebp(bytes, limits);
        case ImageFormat::Psd:
            return decodePsd(bytes, limits);
        case ImageFormat::Ico:
            return decodeIco(bytes, limits);
        case ImageFormat::Mng:
            return decodeMng(bytes, limits);
        case ImageFormat::Jbig:
            return decodeJbig(bytes, limits);
        case ImageFormat::Raw:
            return decodeRaw(bytes, limits);
        case ImageFormat::Heif:
        case ImageFormat::Avif:
            return decodeHeif(bytes, limits);
        case ImageFormat::Unknown:
            break;
        }
    } catch (const std::bad_alloc&) {
        // Within the limits but beyond what the machine has free.
        throw ImagingError(ImagingError::TooLarge, "not enough memory to decode the image");
    }
    unknownFormat();
}

Bitmap decodeGrey(std::span<const std::uint8_t> bytes, ImageFormat format, const Limits& limits,
                  int page) {
    Bitmap bitmap = format == ImageFormat::Jpeg && page == 0 && !bytes.empty()
                        ? decodeJpegGrey(bytes, limits)
                        : decode(bytes, format, limits, page);
    if (bitmap.format == PixelFormat::Gray8)
        return bitmap;
    Bitmap grey = toGrey(bitmap);
    // toGrey's palette is the identity ramp: its indices are the grey levels.
    grey.format = PixelFormat::Gray8;
    grey.palette.clear();
    return grey;
}

std::optional<PictureInfo> probe(std::span<const std::uint8_t> bytes, ImageFormat format,
                                 const Limits& limits, int page) {
    checkRequest(bytes, format, page);
    try {
        switch (format) {
        case ImageFormat::Bmp:
            return probeBmp(bytes, limits);
        case ImageFormat::Gif:
            return probeGif(bytes, limits);
        case ImageFormat::Png:
            return probePng(bytes, limits);
        case ImageFormat::Jpeg:
            return probeJpeg(bytes, limits);
        case ImageFormat::Tiff:
            return probeTiff(bytes, limits, page);
        case ImageFormat::WebP:
            return probeWebp(bytes, limits);
        case ImageFormat::Psd:
            return probePsd(bytes, limits);
        case ImageFormat::Ico:
            return probeIco(bytes, limits);
        case ImageFormat::Mng:
            return probeMng(bytes, limits);
        case ImageFormat::Jbig:
            return probeJbig(bytes, limits);
        case ImageFormat::Heif:
        case ImageFormat::Avif:
            return probeHeif(bytes, limits);
        case ImageFormat::Raw:
            return std::nullopt;
        case ImageFormat::Unknown:
            break;
        }
    } catch (const std::bad_alloc&) {
        throw ImagingError(ImagingError::TooLarge, "not enough memory to decode the image");
    }
    unknownFormat();
}

} // namespace folimo::imaging
