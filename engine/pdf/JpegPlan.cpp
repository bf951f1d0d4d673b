#include "ImagePlan.h"

#include "imaging/JpegMarkers.h"
#include "imaging/Quantize.h"

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

const char* iccModelFor(int components) {
    return components == 1 ? "GRAY" : components == 3 ? "RGB " : "CMYK";
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
    // Passed through, it would cost nothing here, but every viewer would have to decode
    // a picture of that claimed size.
    if (std::uint64_t(f.width) * std::uint64_t(f.height) > kMaxImagePixels)
        throw ImageError("the JPEG image claims " + std::to_string(f.width) + " x " +
                         std::to_string(f.height) + " pixels, more than " +
                         std::to_string(kMaxImagePixels / 1'000'000) + " million");
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

// What the walk over a JPEG file's markers found.
struct Segments {
    std::optional<Frame> frame;
    bool jfif = false;
    bool adobe = false;
    bool sawScan = false;
};

// Takes in one marker segment; true when it starts entropy-coded image data.
bool readSegment(std::uint8_t marker, Bytes seg, Segments& found) {
    switch (marker) {
    case 0xC0: // baseline
    case 0xC1: // extended sequential, Huffman
    case 0xC2: // progressive, Huffman
        if (found.frame)
            damaged("more than one frame");
        found.frame = parseFrame(seg);
        return false;
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
        if (!found.frame)
            damaged("image data before the frame header");
        if (seg.empty() || seg[0] < 1 || seg[0] > 4 || seg.size() != 4 + 2 * std::size_t(seg[0]))
            damaged("bad scan header");
        found.sawScan = true;
        return true;
    case 0xE0:
        found.jfif = found.jfif || hasPrefix(seg, std::string_view("JFIF\0", 5));
        return false;
    case 0xEE:
        found.adobe = found.adobe || hasPrefix(seg, "Adobe");
        return false;
    default:
        return false;
    }
}

// Walks every marker up to EOI, the image data included, so that a file cut short is
// refused here rather than showing up as a half-grey page.
Segments walkMarkers(Bytes bytes) {
    const std::size_t n = bytes.size();
    Segments found;
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
        inScan = readSegment(marker, seg, found);
    }
    if (!found.frame || !found.sawScan)
        damaged("no image data");
    return found;
}

} // namespace

ImagePlan planJpeg(Bytes bytes) {
    if (bytes.size() < 3 || bytes[0] != 0xFF || bytes[1] != 0xD8 || bytes[2] != 0xFF)
        throw ImageError("not a JPEG file");
    const Segments found = walkMarkers(bytes);
    const Frame& frame = *found.frame;

    ImagePlan plan;
    plan.format = "jpeg";
    ImageStreamPlan& image = plan.image;
    image.width = frame.width;
    image.height = frame.height;
    image.bitsPerComponent = 8;
    image.colorSpace.device = frame.components == 1   ? "/DeviceGray"
                              : frame.components == 3 ? "/DeviceRGB"
                                                      : "/DeviceCMYK";
    // Resolution, orientation and profile as the imaging service reads them, so that
    // both ways into the PDF agree on a page. A profile for another colour model
    // cannot describe these samples.
    imaging::JpegMarkers markers = imaging::readJpegMarkers(bytes);
    if (imaging::detail::iccProfileFits(markers.iccProfile, iccModelFor(frame.components)))
        image.colorSpace.icc = std::move(markers.iccProfile);
    image.filter = "/DCTDecode";
    image.data.emplace_back(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    image.passthrough = true;

    // Adobe's programs store CMYK inverted and mark such files with APP14; other
    // writers followed, so the marker is the best hint there is.
    if (frame.components == 4 && found.adobe)
        image.decode = "[1 0 1 0 1 0 1 0]";
    // Without JFIF or Adobe markers, decoders take component ids 'R','G','B' to mean
    // untransformed RGB; a PDF viewer would assume YCbCr unless told.
    if (frame.components == 3 && !found.jfif && !found.adobe && frame.ids[0] == 'R' &&
        frame.ids[1] == 'G' && frame.ids[2] == 'B')
        image.decodeParms = "<< /ColorTransform 0 >>";

    plan.resx = markers.dpiX;
    plan.resy = markers.dpiY;
    plan.orientation = markers.orientation;
    return plan;
}

} // namespace folimo::pdf
