// MNG animations (and lone JNG images): we show the first embedded image. A PNG
// datastream inside an MNG is a PNG file without its signature, so it is rebuilt as one
// and given to the PNG reader; a JNG's JDAT chunks together form a JPEG file.
#include "Codecs.h"
#include "DecodeSupport.h"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace folimo::imaging {
namespace {

using Bytes = std::span<const std::uint8_t>;

[[noreturn]] void damaged(const std::string& what) {
    throw ImagingError(ImagingError::Damaged, "the MNG file is damaged: " + what);
}

[[noreturn]] void unsupported(const std::string& what) {
    throw ImagingError(ImagingError::Unsupported,
                       "the MNG file uses " + what + ", which is not supported");
}

constexpr std::uint8_t kMngSignature[8] = {0x8A, 'M', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint8_t kJngSignature[8] = {0x8B, 'J', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

constexpr auto be32 = support::loadBe32;

struct Chunk {
    std::string_view type;
    Bytes data;
    Bytes whole; // length, type, data and CRC as stored
};

class ChunkReader {
public:
    ChunkReader(Bytes bytes, std::size_t start) : bytes_(bytes), pos_(start) {}

    // The next chunk, or nothing at the end of the file.
    std::optional<Chunk> next() {
        if (pos_ == bytes_.size())
            return std::nullopt;
        if (bytes_.size() - pos_ < 12)
            damaged("it ends inside a chunk");
        const std::uint32_t length = be32(bytes_.data() + pos_);
        if (length > 0x7FFFFFFF || length > bytes_.size() - pos_ - 12)
            damaged("a chunk runs past the end of the file");
        Chunk c;
        c.type = {reinterpret_cast<const char*>(bytes_.data() + pos_ + 4), 4};
        c.data = bytes_.subspan(pos_ + 8, length);
        c.whole = bytes_.subspan(pos_, std::size_t(length) + 12);
        pos_ += std::size_t(length) + 12;
        return c;
    }

private:
    Bytes bytes_;
    std::size_t pos_;
};

void appendWhole(std::string& out, const Chunk& c) {
    out.append(reinterpret_cast<const char*>(c.whole.data()), c.whole.size());
}

Bytes bytesOf(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// A pHYs chunk in metres.
void applyPhys(Bitmap& b, const std::optional<Chunk>& phys) {
    if (!phys || phys->data.size() != 9 || phys->data[8] != 1)
        return;
    const std::uint32_t x = be32(phys->data.data());
    const std::uint32_t y = be32(phys->data.data() + 4);
    if (x > 0 && y > 0) {
        b.dpiX = support::dpiFromPixelsPerMetre(x);
        b.dpiY = support::dpiFromPixelsPerMetre(y);
    }
}

// Chunks that the top level of an MNG may give once for all its images.
struct Globals {
    std::optional<Chunk> palette;
    std::optional<Chunk> phys;
    std::vector<Chunk> colour; // iCCP, sRGB, gAMA, cHRM
};

// The first image as the PNG file it would be on its own.
std::string embeddedPng(ChunkReader& reader, const Chunk& ihdr, const Globals& globals) {
    if (ihdr.data.size() != 13)
        damaged("an image header has the wrong length");
    // Filter method 64 (intrapixel differencing) exists only inside MNG.
    if (ihdr.data[11] != 0)
        unsupported("MNG-only row filters");
    std::vector<Chunk> chunks;
    bool ended = false;
    while (auto c = reader.next()) {
        chunks.push_back(*c);
        if (c->type == "IEND") {
            ended = true;
            break;
        }
    }
    if (!ended)
        damaged("its first image has no end");

    auto has = [&](std::string_view type) {
        for (const Chunk& c : chunks)
            if (c.type == type)
                return true;
        return false;
    };
    std::string png(reinterpret_cast<const char*>(kPngSignature), 8);
    appendWhole(png, ihdr);
    // Globals the image does not override, placed where PNG wants them (before PLTE
    // and IDAT).
    const bool ownColour = has("iCCP") || has("sRGB");
    for (const Chunk& c : globals.colour) {
        const bool profile = c.type == "iCCP" || c.type == "sRGB";
        if (profile ? !ownColour : !has(c.type))
            appendWhole(png, c);
    }
    if (globals.phys && !has("pHYs"))
        appendWhole(png, *globals.phys);
    const bool palette = ihdr.data[9] == 3;
    bool wrotePalette = false;
    for (const Chunk& c : chunks) {
        if (c.type == "PLTE" && c.data.empty()) {
            // An empty PLTE asks for the top level's.
            if (!globals.palette)
                damaged("an image refers to a palette that the file does not give");
            appendWhole(png, *globals.palette);
            wrotePalette = true;
            continue;
        }
        if (c.type == "PLTE")
            wrotePalette = true;
        if (c.type == "IDAT" && palette && !wrotePalette && globals.palette) {
            appendWhole(png, *globals.palette);
            wrotePalette = true;
        }
        appendWhole(png, c);
    }
    return png;
}

// A JNG image's JPEG data joined, and the resolution that replaces the JPEG's own.
struct JngImage {
    std::string jpeg;
    std::optional<Chunk> phys;
};

JngImage jngImage(ChunkReader& reader) {
    JngImage image;
    std::string& jpeg = image.jpeg;
    std::optional<Chunk>& phys = image.phys;
    bool ended = false;
    while (auto c = reader.next()) {
        if (c->type == "JDAT")
            jpeg.append(reinterpret_cast<const char*>(c->data.data()), c->data.size());
        else if (c->type == "pHYs")
            phys = *c;
        // JSEP: a second, 12-bit image follows; the 8-bit one is complete.
        else if (c->type == "IEND" || c->type == "JSEP") {
            ended = true;
            break;
        }
    }
    if (!ended)
        damaged("its first image has no end");
    if (jpeg.empty())
        damaged("a JNG image holds no JPEG data");
    return image;
}

// Whatever decodes the first image (a PNG or JPEG reader, or their probes) on what
// each is given, the same way for all of them.
template <class Result>
struct FirstImage {
    Result (*png)(std::span<const std::uint8_t>, const Limits&);
    Result (*jpeg)(std::span<const std::uint8_t>, const Limits&);
    void (*phys)(Result&, const std::optional<Chunk>&, bool replace);
};

void physOfBitmap(Bitmap& b, const std::optional<Chunk>& phys, bool replace) {
    if (replace && phys)
        b.dpiX = b.dpiY = 0;
    if (replace || b.dpiX == 0)
        applyPhys(b, phys);
}

void physOfInfo(std::optional<PictureInfo>& info, const std::optional<Chunk>& phys, bool replace) {
    if (!info)
        return;
    Bitmap b;
    b.dpiX = info->dpiX;
    b.dpiY = info->dpiY;
    physOfBitmap(b, phys, replace);
    info->dpiX = b.dpiX;
    info->dpiY = b.dpiY;
}

template <class Result>
Result readFirst(std::span<const std::uint8_t> bytes, const Limits& limits,
                 const FirstImage<Result>& with) {
    if (bytes.size() < 8)
        damaged("it ends inside the signature");
    if (std::memcmp(bytes.data(), kJngSignature, 8) == 0) {
        ChunkReader reader(bytes, 8);
        auto first = reader.next();
        if (!first || first->type != "JHDR")
            damaged("it does not start with a JNG header");
        const JngImage jng = jngImage(reader);
        Result r = with.jpeg(bytesOf(jng.jpeg), limits);
        with.phys(r, jng.phys, true);
        return r;
    }
    if (std::memcmp(bytes.data(), kMngSignature, 8) != 0)
        damaged("it does not start like an MNG file");

    ChunkReader reader(bytes, 8);
    Globals globals;
    bool ended = false;
    while (auto c = reader.next()) {
        if (c->type == "IHDR")
            return with.png(bytesOf(embeddedPng(reader, *c, globals)), limits);
        if (c->type == "JHDR") {
            const JngImage jng = jngImage(reader);
            Result r = with.jpeg(bytesOf(jng.jpeg), limits);
            with.phys(r, jng.phys, true);
            with.phys(r, globals.phys, false);
            return r;
        }
        if (c->type == "MEND") {
            ended = true;
            break;
        }
        if (c->type == "PLTE")
            globals.palette = *c;
        else if (c->type == "pHYs")
            globals.phys = *c;
        else if (c->type == "iCCP" || c->type == "sRGB" || c->type == "gAMA" || c->type == "cHRM") {
            // A later global replaces an earlier one; an empty one cancels it.
            std::erase_if(globals.colour, [&](const Chunk& g) { return g.type == c->type; });
            if (!c->data.empty())
                globals.colour.push_back(*c);
        }
    }
    if (!ended)
        damaged("it ends before its first image");
    unsupported("no image of a kind we can read (the first frame is made of deltas or "
                "objects)");
}

} // namespace

Bitmap decodeMng(std::span<const std::uint8_t> bytes, const Limits& limits) {
    return readFirst<Bitmap>(bytes, limits, {decodePng, decodeJpeg, physOfBitmap});
}

// The first image is copied out as the file it would be alone, as for decoding: no
// more than the file's own bytes, and the PNG and JPEG probes then see what their
// decoders would.
std::optional<PictureInfo> probeMng(std::span<const std::uint8_t> bytes, const Limits& limits) {
    return readFirst<std::optional<PictureInfo>>(bytes, limits, {probePng, probeJpeg, physOfInfo});
}

} // namespace folimo::imaging
