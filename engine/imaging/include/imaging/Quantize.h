// Private to the encoders and transforms: pixel access shared by them, and the colour
// reduction that GIF needs for true-colour pictures.
#pragma once

#include "Bitmap.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace folimo::imaging::detail {

// 16-bit to 8-bit, rounded to nearest.
inline std::uint8_t to8(unsigned v16) {
    return std::uint8_t((v16 * 255u + 32767u) / 65535u);
}

// x / 255 rounded to nearest, exact for x in 0..65535.
inline unsigned div255(unsigned x) {
    x += 128;
    return (x + (x >> 8)) >> 8;
}

// An 8-bit colour channel put over white at opacity a.
inline std::uint8_t overWhite(unsigned c, unsigned a) {
    return std::uint8_t(div255(c * a + 255u * (255u - a)));
}

// Refuses a bitmap whose fields do not describe its own memory, so that no encoder
// reads past the pixels of a carelessly built one.
void checkBitmap(const Bitmap& bitmap);

// Unpacks row y of an Indexed1/4/8 bitmap to one index a byte (width bytes).
void unpackIndices(const Bitmap& bitmap, int y, std::uint8_t* out);

// Which of the 256 indices the pixels use.
std::array<bool, 256> usedIndices(const Bitmap& bitmap);

// The palette as 256 entries, indices past its end opaque black: a pixel may point
// beyond a short palette, and every encoder should show it the same way.
std::array<std::uint32_t, 256> fullPalette(const Bitmap& bitmap);

// The resolution to write, false when the bitmap has none. A file that gave only one
// axis is taken as square; values that no format can store are refused.
bool resolutionOf(const Bitmap& bitmap, double& dpiX, double& dpiY);

// Whether an ICC profile describes this colour space ("GRAY", "RGB "): a profile
// carried over from a picture in another model would make readers misrender or
// reject the file, so it is left out then.
bool iccProfileFits(const std::string& profile, const char colourSpace[4]);

// ---------------------------------------------------------------------------------------
// Colour reduction for GIF.
//
// The palette comes from Xiaolin Wu's quantizer (Graphics Gems II, 1991): a 32x32x32
// histogram of the colours with its cumulative moments (count, sums of R, G, B and of
// their squares), then the colour cube is split greedily, always cutting the box with
// the largest variance at the plane that minimises the summed variance of the two
// halves. Every palette colour is the exact mean of the pixels in its box. Unlike
// median cut it weighs a split by the error it removes, and unlike an octree it is not
// tied to power-of-two boundaries; building it costs O(pixels + colours x 33^3).

class WuHistogram {
public:
    WuHistogram();
    void add(unsigned r, unsigned g, unsigned b) {
        Cell& c = cells_[index(int(r >> 3) + 1, int(g >> 3) + 1, int(b >> 3) + 1)];
        ++c.weight;
        c.r += r;
        c.g += g;
        c.b += b;
        c.squares += kSquares[r] + kSquares[g] + kSquares[b];
    }
    // Up to maxColours colours 0xFFRRGGBB; fewer when the picture has fewer distinct
    // boxes of colour.
    std::vector<std::uint32_t> palette(int maxColours);

private:
    struct Cell {
        std::int64_t weight = 0, r = 0, g = 0, b = 0;
        double squares = 0; // exact as long as it stays below 2^53
    };
    static constexpr int kSide = 33;
    static int index(int r, int g, int b) { return (r * kSide + g) * kSide + b; }
    static const std::array<std::uint32_t, 256> kSquares;
    std::vector<Cell> cells_;
};

// The nearest palette colour (squared RGB distance) of any colour, memoised on a
// 64x64x64 grid: error diffusion asks for colours anywhere in the cube, and most of
// them fall into cells already seen.
class NearestColour {
public:
    explicit NearestColour(std::span<const std::uint32_t> palette);
    int find(int r, int g, int b) {
        const int cell = (r >> 2) << 12 | (g >> 2) << 6 | (b >> 2);
        int i = cache_[std::size_t(cell)];
        if (i < 0)
            i = cache_[std::size_t(cell)] =
                std::int16_t(search((r & ~3) + 2, (g & ~3) + 2, (b & ~3) + 2));
        return i;
    }

private:
    int search(int r, int g, int b) const;
    struct Entry {
        int r, g, b, index;
    };
    std::vector<Entry> byGreen_; // sorted by green, so a search can stop early
    std::vector<std::int16_t> cache_;
};

// Maps 8-bit RGBA rows to palette indices with Floyd-Steinberg error diffusion,
// serpentine (every other row right to left, so the error does not drift one way and
// draw diagonal worms). Pixels with alpha < 128 get `transparentIndex` and neither take
// nor pass on error.
class Ditherer {
public:
    Ditherer(std::span<const std::uint32_t> palette, int width, int transparentIndex);
    // rgba: width pixels of R, G, B, A; out: width indices.
    void mapRow(const std::uint8_t* rgba, std::uint8_t* out);

private:
    std::vector<std::uint32_t> palette_;
    NearestColour nearest_;
    int width_;
    int transparent_;
    bool reverse_ = false;
    // Error in 1/16 levels, per channel, with one spare pixel at each end.
    std::vector<int> current_, next_;
};

} // namespace folimo::imaging::detail
