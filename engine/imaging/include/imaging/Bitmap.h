// The imaging service's picture: a decoded image in one of a few pixel formats, with
// the resolution and colour profile its file gave. Plain value type, movable; any
// thread may use its own Bitmap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace folimo::imaging {

// Samples in memory order. 16-bit formats hold native-endian uint16_t samples.
enum class PixelFormat {
    Indexed1, // 8 pixels a byte, most significant bit first, palette of up to 2
    Indexed4, // 2 pixels a byte, high nibble first, palette of up to 16
    Indexed8, // palette of up to 256
    Gray8,
    Rgb24,  // R, G, B
    Rgba32, // R, G, B, A; colour not premultiplied
    Gray16,
    Rgb48,
    Rgba64,
};

int bitsPerPixel(PixelFormat format);
bool hasAlpha(PixelFormat format);
bool isIndexed(PixelFormat format);

// What a decoder found wrong. `kind` lets callers tell a damaged file from one that
// is fine but not supported.
class ImagingError : public std::runtime_error {
public:
    enum Kind { Damaged, Unsupported, TooLarge, Io };
    ImagingError(Kind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

// The most memory one decoded image may take: 1 GiB, or what the environment variable
// FOLIMO_MAX_MEMORY says (bytes, or a number with K, M or G), read once per process.
// A small file can claim a picture of gigabytes; beyond this it is refused before
// anything is allocated.
std::uint64_t decodedImageBudget();

// Upper bounds that keep a hostile header from making a decoder allocate without end.
struct Limits {
    std::uint64_t maxPixels = 400'000'000;         // width x height
    std::uint64_t maxBytes = decodedImageBudget(); // one bitmap's pixel memory
};

// "1.6 GB" and the like, for messages.
std::string byteCount(std::uint64_t bytes);
// Throws ImagingError(TooLarge) for a picture of this size whose way through memory
// needs `bytes`, more than `limits` allow, in the words users see for every such way.
[[noreturn]] void refuseMemory(int width, int height, std::uint64_t bytes,
                               const Limits& limits = {});

struct Bitmap {
    int width = 0;
    int height = 0;
    PixelFormat format = PixelFormat::Rgb24;
    std::size_t stride = 0; // bytes per row, at least width * bits / 8 rounded up
    std::vector<std::uint8_t> pixels;
    // Indexed formats: 0xAARRGGBB per entry (alpha 255 = opaque).
    std::vector<std::uint32_t> palette;
    // Dots per inch as the file says; 0 when it says nothing (then callers take 72,
    // one pixel per point).
    double dpiX = 0;
    double dpiY = 0;
    std::string iccProfile; // the file's embedded profile, when it had one

    std::uint8_t* row(int y) { return pixels.data() + std::size_t(y) * stride; }
    const std::uint8_t* row(int y) const { return pixels.data() + std::size_t(y) * stride; }

    // Allocates a zeroed bitmap; throws ImagingError(TooLarge) beyond `limits`, with
    // overflow-checked arithmetic.
    static Bitmap create(int width, int height, PixelFormat format, const Limits& limits = {});
    // What create would refuse, with its words, for a reader that knows the size from a
    // header and must say so before it decodes anything.
    static void checkSize(int width, int height, PixelFormat format, const Limits& limits = {});
};

namespace detail {
// 16-bit samples are read and written through memcpy: the pixel memory holds bytes,
// and this keeps the compiler's aliasing assumptions and alignment out of the way.
inline std::uint16_t load16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
inline void store16(std::uint8_t* p, std::uint16_t v) {
    std::memcpy(p, &v, 2);
}
} // namespace detail

} // namespace folimo::imaging
