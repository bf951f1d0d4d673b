#include "ImagePlan.h"

#include "imaging/DecodeSupport.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

namespace folimo::pdf {

namespace {

using Bytes = std::span<const std::uint8_t>;

[[noreturn]] void truncated() {
    throw ImageError("the JPEG file is truncated");
}

[[noreturn]] void damaged(const char* why) {
    throw ImageError(std::string("the JPEG file is damaged (") + why + ")");
}

[[noreturn]] void unsupportedCoding(const char* kind) {
    throw ImageError(std::string("unsupported JPEG coding (") + kind +
                     "); save the image again as a baseline or progressive JPEG");
}

std::uint32_t be16(Bytes b, std::size_t at) {
    return std::uint32_t(b[at]) << 8 | b[at + 1];
}

bool hasPrefix(Bytes b, std::string_view prefix) {
    return b.size() >= prefix.size() && std::memcmp(b.data(), prefix.data(), prefix.size()) == 0;
}

// The imaging service's reading of stored resolutions, so both paths agree on a page's
// size: dots per inch as they stand, per centimetre snapped to the whole dpi meant.
double toDpi(double value, bool perCentimetre) {
    return perCentimetre ? imaging::support::dpiFromPixelsPerCentimetre(value) : value;
}

struct Resolution {
    double x = 0;
    double y = 0;
};

// A bounds-checked view of a TIFF structure in either byte order.
class TiffView {
public:
    explicit TiffView(Bytes tiff) : b_(tiff) {}

    bool readHeader() {
        if (b_.size() < 8)
            return false;
        if (b_[0] == 'I' && b_[1] == 'I')
            little_ = true;
        else if (b_[0] == 'M' && b_[1] == 'M')
            little_ = false;
        else
            return false;
        return u16(2) == 42;
    }

    bool fits(std::uint64_t at, std::uint64_t size) const { return at + size <= b_.size(); }

    std::uint32_t u16(std::size_t at) const {
        return little_ ? b_[at] | std::uint32_t(b_[at + 1]) << 8
                       : std::uint32_t(b_[at]) << 8 | b_[at + 1];
    }

    std::uint32_t u32(std::size_t at) const {
        return little_ ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
    }

private:
    Bytes b_;
    bool little_ = false;
};

// Cameras and many editors record the resolution only in the first EXIF directory.
// Anything malformed simply yields no resolution: it is not worth refusing the image.
Resolution exifResolution(Bytes tiff) {
    constexpr std::uint32_t kXResolution = 0x011A, kYResolution = 0x011B, kUnit = 0x0128;
    constexpr std::uint32_t kShort = 3, kRational = 5;
    TiffView t(tiff);
    if (!t.readHeader())
        return {};
    std::uint64_t ifd = t.u32(4);
    if (!t.fits(ifd, 2))
        return {};
    std::uint64_t count = t.u16(ifd);
    double values[2] = {0, 0};
    std::uint32_t unit = 2; // inches, when the directory does not say
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t entry = ifd + 2 + i * 12;
        if (!t.fits(entry, 12))
            break;
        std::uint32_t tag = t.u16(entry), type = t.u16(entry + 2), n = t.u32(entry + 4);
        if (n == 0)
            continue;
        if ((tag == kXResolution || tag == kYResolution) && type == kRational) {
            std::uint64_t at = t.u32(entry + 8);
            if (!t.fits(at, 8))
                continue;
            std::uint32_t num = t.u32(at), den = t.u32(at + 4);
            if (den != 0)
                values[tag == kXResolution ? 0 : 1] = double(num) / den;
        } else if (tag == kUnit && type == kShort) {
            unit = t.u16(entry + 8);
        }
    }
    if ((unit != 2 && unit != 3) || values[0] <= 0 || values[1] <= 0)
        return {};
    return {toDpi(values[0], unit == 3), toDpi(values[1], unit == 3)};
}

// EXIF Orientation (1 to 8), 1 when absent or malformed.
int exifOrientation(Bytes tiff) {
    constexpr std::uint32_t kOrientation = 0x0112, kShort = 3;
    TiffView t(tiff);
    if (!t.readHeader())
        return 1;
    std::uint64_t ifd = t.u32(4);
    if (!t.fits(ifd, 2))
        return 1;
    std::uint64_t count = t.u16(ifd);
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t entry = ifd + 2 + i * 12;
        if (!t.fits(entry, 12))
            break;
        if (t.u16(entry) == kOrientation && t.u16(entry + 2) == kShort && t.u32(entry + 4) >= 1) {
            std::uint32_t value = t.u16(entry + 8);
            return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
        }
    }
    return 1;
}

struct IccChunk {
    int sequence;
    int count;
    Bytes data;
};

const char* iccModelFor(int components) {
    return components == 1 ? "GRAY" : components == 3 ? "RGB " : "CMYK";
}

// A profile split over APP2 segments is only usable when every piece is there exactly
// once; a partial profile would make the PDF's colour space invalid.
std::string reassembleIcc(std::vector<IccChunk> chunks, int components) {
    if (chunks.empty())
        return {};
    int count = chunks.front().count;
    if (count == 0 || std::size_t(count) != chunks.size())
        return {};
    std::sort(chunks.begin(), chunks.end(),
              [](const IccChunk& a, const IccChunk& b) { return a.sequence < b.sequence; });
    std::string icc;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (chunks[i].count != count || chunks[i].sequence != int(i) + 1)
            return {};
        icc.append(reinterpret_cast<const char*>(chunks[i].data.data()), chunks[i].data.size());
    }
    // A profile for another colour model cannot describe these samples.
    if (icc.size() < 128 || icc.compare(16, 4, iccModelFor(components)) != 0)
        return {};
    return icc;
}

// Where the entropy-coded data that starts at `pos` ends: the 0xFF of the next marker
// other than a restart marker, or the end of the input when there is none.
std::size_t skipEntropyData(Bytes b, std::size_t pos) {
    const std::size_t n = b.size();
    while (pos < n) {
        const void* ff = std::memchr(b.data() + pos, 0xFF, n - pos);
        if (!ff)
            return n;
        std::size_t at = static_cast<const std::uint8_t*>(ff) - b.data();
        std::size_t next = at + 1;
        while (next < n && b[next] == 0xFF)
            ++next;
        if (next >= n)
            return n;
        if (b[next] != 0x00 && (b[next] < 0xD0 || b[next] > 0xD7))
            return at;
        pos = next + 1;
    }
    return n;
}

struct Frame {
    int width = 0;
    int height = 0;
    int components = 0;
    std::uint8_t ids[4] = {};
};

Frame parseFrame(Bytes seg) {
    if (seg.size() < 6)
        damaged("short frame header");
    if (seg[0] != 8)
        unsupportedCoding("more than 8 bits per sample");
    Frame f;
    f.height = int(be16(seg, 1));
    f.width = int(be16(seg, 3));
    f.components = seg[5];
    if (seg.size() != 6 + 3 * std::size_t(f.components))
        damaged("bad frame header length");
    if (f.height == 0)
        throw ImageError("the JPEG image gives its height only after the image data, which "
                         "PDF cannot carry; save the image again");
    if (f.width == 0)
        damaged("zero width");
    if (f.components != 1 && f.components != 3 && f.components != 4)
        throw ImageError("the JPEG image has " + std::to_string(f.components) +
                         " colour components; only 1, 3 or 4 can go into a PDF");
    for (int i = 0; i < f.components; ++i) {
        f.ids[i] = seg[6 + 3 * i];
        int h = seg[7 + 3 * i] >> 4, v = seg[7 + 3 * i] & 15;
        if (h < 1 || h > 4 || v < 1 || v > 4)
            damaged("bad sampling factors");
    }
    return f;
}

} // namespace

ImagePlan planJpeg(Bytes bytes) {
    const std::size_t n = bytes.size();
    if (n < 3 || bytes[0] != 0xFF || bytes[1] != 0xD8 || bytes[2] != 0xFF)
        throw ImageError("not a JPEG file");

    std::optional<Frame> frame;
    std::optional<Bytes> jfif, exif;
    bool adobe = false;
    bool sawScan = false;
    std::vector<IccChunk> icc;

    // Walks every marker up to EOI, the image data included, so that a file cut short
    // is refused here rather than showing up as a half-grey page.
    std::size_t pos = 2;
    bool inScan = false;
    for (;;) {
        if (inScan)
            pos = skipEntropyData(bytes, pos);
        if (pos >= n)
            truncated();
        if (bytes[pos] != 0xFF)
            damaged("data where a marker should be");
        while (pos < n && bytes[pos] == 0xFF)
            ++pos;
        if (pos >= n)
            truncated();
        const std::uint8_t marker = bytes[pos++];
        if (marker == 0xD9)
            break;
        if (marker == 0x00 || marker == 0xD8)
            damaged("misplaced marker");
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue; // standalone markers carry no length
        if (pos + 2 > n)
            truncated();
        const std::size_t length = be16(bytes, pos);
        if (length < 2)
            damaged("bad segment length");
        if (pos + length > n)
            truncated();
        const Bytes seg = bytes.subspan(pos + 2, length - 2);
        pos += length;
        inScan = false;

        switch (marker) {
        case 0xC0: // baseline
        case 0xC1: // extended sequential, Huffman
        case 0xC2: // progressive, Huffman
            if (frame)
                damaged("more than one frame");
            frame = parseFrame(seg);
            break;
        case 0xC3:
        case 0xC7:
        case 0xCB:
        case 0xCF:
            unsupportedCoding("lossless");
        case 0xC5:
        case 0xC6:
        case 0xCD:
        case 0xCE:
        case 0xDE:
            unsupportedCoding("hierarchical");
        case 0xC9:
        case 0xCA:
            unsupportedCoding("arithmetic");
        case 0xDA:
            if (!frame)
                damaged("image data before the frame header");
            if (seg.empty() || seg[0] < 1 || seg[0] > 4 ||
                seg.size() != 4 + 2 * std::size_t(seg[0]))
                damaged("bad scan header");
            sawScan = true;
            inScan = true;
            break;
        case 0xE0:
            if (!jfif && hasPrefix(seg, std::string_view("JFIF\0", 5)) && seg.size() >= 12)
                jfif = seg;
            break;
        case 0xE1:
            if (!exif && hasPrefix(seg, std::string_view("Exif\0\0", 6)))
                exif = seg.subspan(6);
            break;
        case 0xE2:
            if (hasPrefix(seg, std::string_view("ICC_PROFILE\0", 12)) && seg.size() >= 14)
                icc.push_back({seg[12], seg[13], seg.subspan(14)});
            break;
        case 0xEE:
            if (hasPrefix(seg, "Adobe"))
                adobe = true;
            break;
        default:
            break;
        }
    }
    if (!frame || !sawScan)
        damaged("no image data");

    ImagePlan plan;
    plan.format = "jpeg";
    ImageStreamPlan& image = plan.image;
    image.width = frame->width;
    image.height = frame->height;
    image.bitsPerComponent = 8;
    image.colorSpace.device = frame->components == 1   ? "/DeviceGray"
                              : frame->components == 3 ? "/DeviceRGB"
                                                       : "/DeviceCMYK";
    image.colorSpace.icc = reassembleIcc(std::move(icc), frame->components);
    image.filter = "/DCTDecode";
    image.data.emplace_back(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    image.passthrough = true;

    // Adobe's programs store CMYK inverted and mark such files with APP14; other
    // writers followed, so the marker is the best hint there is.
    if (frame->components == 4 && adobe)
        image.decode = "[1 0 1 0 1 0 1 0]";
    // Without JFIF or Adobe markers, decoders take component ids 'R','G','B' to mean
    // untransformed RGB; a PDF viewer would assume YCbCr unless told.
    if (frame->components == 3 && !jfif && !adobe && frame->ids[0] == 'R' && frame->ids[1] == 'G' &&
        frame->ids[2] == 'B')
        image.decodeParms = "<< /ColorTransform 0 >>";

    Resolution res;
    if (jfif) {
        const Bytes j = *jfif;
        int units = j[7];
        double x = be16(j, 8), y = be16(j, 10);
        if ((units == 1 || units == 2) && x > 0 && y > 0)
            res = {toDpi(x, units == 2), toDpi(y, units == 2)};
    }
    if (res.x == 0 && exif)
        res = exifResolution(*exif);
    plan.resx = res.x;
    plan.resy = res.y;
    if (exif)
        plan.orientation = exifOrientation(*exif);
    return plan;
}

} // namespace folimo::pdf
