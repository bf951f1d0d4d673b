#include "Transform.h"

#include "Quantize.h"

#include <algorithm>
#include <functional>
#include <type_traits>
#include <utility>

namespace folimo::imaging {

namespace {

using detail::load16;
using detail::store16;

// Resizing is separable: a pass along columns and one along rows, through rows of
// intermediate samples with more precision than the output.
//
// Shrinking averages the exact footprint of every output pixel on the source (a box
// filter with fractional weights at its edges): every source pixel counts in
// proportion to the area it covers, so fine detail becomes its average grey instead of
// aliasing into moire. Enlarging interpolates bilinearly between pixel centres.
//
// Integer arithmetic throughout: weights are fixed-point and add up to exactly 1, so a
// uniform area keeps exactly its value. 8-bit samples use 14-bit weights, so both
// passes fit 32-bit sums; 16-bit samples use 30-bit weights and 64-bit sums, so the
// weights' rounding stays well below one level. Colour with alpha is premultiplied
// while it is averaged, so fully transparent pixels, whatever colour they carry, add
// nothing.

// For each output position, `count` source positions from `start` with their weights.
struct Taps {
    int maxCount = 1;
    std::vector<int> start;
    std::vector<int> count;
    std::vector<std::int32_t> weight; // maxCount a position
    const std::int32_t* weightsOf(int i) const { return &weight[std::size_t(i) * maxCount]; }
};

Taps makeTaps(int source, int target, int weightBits) {
    using Wide = __int128;
    const std::int32_t one = std::int32_t(1) << weightBits;
    Taps t;
    const std::int64_t src = source, dst = target;
    t.maxCount = target < source ? int((src + dst - 1) / dst) + 1 : 2;
    t.start.resize(std::size_t(target));
    t.count.resize(std::size_t(target));
    t.weight.assign(std::size_t(target) * std::size_t(t.maxCount), 0);
    for (int i = 0; i < target; ++i) {
        std::int32_t* w = &t.weight[std::size_t(i) * std::size_t(t.maxCount)];
        int first = 0, n = 0;
        if (target < source) {
            // Output i covers source [i src/dst, (i+1) src/dst); in units of 1/dst the
            // overlap with source pixel j is exact, and its share of the whole is
            // overlap / src.
            const std::int64_t lo = i * src, hi = (i + std::int64_t(1)) * src;
            first = int(lo / dst);
            const int end = int(std::min<std::int64_t>((hi + dst - 1) / dst, src));
            for (int j = first; j < end; ++j) {
                const std::int64_t overlap =
                    std::min(hi, (j + 1) * dst) - std::max(lo, std::int64_t(j) * dst);
                w[n++] = std::int32_t((Wide(overlap) * one * 2 + src) / (2 * src));
            }
        } else if (target > source) {
            // The centre of output i sits at ((2i + 1) src - dst) / (2 dst) in source
            // pixel coordinates.
            const std::int64_t num = (2 * std::int64_t(i) + 1) * src - dst, den = 2 * dst;
            if (num <= 0) {
                first = 0;
                w[n++] = one;
            } else {
                first = int(num / den);
                const std::int32_t right =
                    std::int32_t((Wide(num - first * den) * one * 2 + den) / (2 * den));
                if (first >= source - 1) {
                    first = source - 1;
                    w[n++] = one;
                } else {
                    w[n++] = one - right;
                    w[n++] = right;
                }
            }
        } else {
            first = i;
            w[n++] = one;
        }
        // Rounding may leave the sum a little off 1: the largest weight absorbs it.
        std::int32_t sum = 0;
        for (int k = 0; k < n; ++k)
            sum += w[k];
        *std::max_element(w, w + n) += one - sum;
        // Slivers that rounded to nothing cost time and add nothing.
        while (n > 1 && w[n - 1] == 0)
            --n;
        int skip = 0;
        while (skip < n - 1 && w[skip] == 0)
            ++skip;
        if (skip > 0) {
            std::copy(w + skip, w + n, w);
            std::fill(w + n - skip, w + n, 0);
            first += skip;
            n -= skip;
        }
        t.start[std::size_t(i)] = first;
        t.count[std::size_t(i)] = n;
    }
    return t;
}

template <class S>
inline std::uint32_t sampleAt(const std::uint8_t* p, std::size_t i) {
    if constexpr (sizeof(S) == 1)
        return p[i];
    else
        return load16(p + 2 * i);
}

template <class T>
constexpr T roundShift(T v, int shift) {
    return shift == 0 ? v : (v + (T(1) << (shift - 1))) >> shift;
}

// Intermediate samples between the passes, chosen so that neither pass overflows:
//   8-bit:  colour and alpha x 2^8 in 16 bits, premultiplied colour alpha x value;
//           sums of weights x intermediates in 32 bits.
//   16-bit: colour and alpha x 2^16 in 32 bits, premultiplied colour alpha x value;
//           sums in 64 bits.
template <class S>
struct Depth;
template <>
struct Depth<std::uint8_t> {
    using Mid = std::uint16_t;
    using Sum = std::int32_t;
    static constexpr int kWeightBits = 14;
    static constexpr int kPlainShift = kWeightBits - 8;     // horizontal, to Mid
    static constexpr int kPremultipliedShift = kWeightBits; // horizontal, to Mid
    static constexpr int kFinalShift = kWeightBits + 8;     // vertical, to samples
    // colour = (sum(alpha x value) << up) / (sum(alpha) >> down)
    static constexpr int kUnpremultiplyUp = 8;
    static constexpr int kUnpremultiplyDown = 0;
    static constexpr std::int64_t kMax = 255;
};
template <>
struct Depth<std::uint16_t> {
    using Mid = std::uint32_t;
    using Sum = std::int64_t;
    static constexpr int kWeightBits = 30;
    static constexpr int kPlainShift = kWeightBits - 16;
    static constexpr int kPremultipliedShift = kWeightBits;
    static constexpr int kFinalShift = kWeightBits + 16;
    static constexpr int kUnpremultiplyUp = 0;
    static constexpr int kUnpremultiplyDown = 16;
    static constexpr std::int64_t kMax = 65535;
};

// Horizontal pass: one source row (C samples a pixel, alpha last when A) to `mid`.
template <class S, int C, bool A>
void horizontal(const std::uint8_t* in, typename Depth<S>::Mid* mid, const Taps& taps, int width) {
    using D = Depth<S>;
    using Sum = typename D::Sum;
    using Mid = typename D::Mid;
    for (int x = 0; x < width; ++x) {
        const std::int32_t* w = taps.weightsOf(x);
        const int n = taps.count[std::size_t(x)];
        const std::size_t base = std::size_t(taps.start[std::size_t(x)]) * C;
        Mid* out = mid + std::size_t(x) * C;
        if constexpr (!A) {
            Sum acc[C] = {};
            for (int k = 0; k < n; ++k)
                for (int c = 0; c < C; ++c)
                    acc[c] += Sum(w[k]) * Sum(sampleAt<S>(in, base + std::size_t(k) * C + c));
            for (int c = 0; c < C; ++c)
                out[c] = Mid(roundShift(acc[c], D::kPlainShift));
        } else {
            Sum colour[C - 1] = {};
            Sum alpha = 0;
            for (int k = 0; k < n; ++k) {
                const std::size_t at = base + std::size_t(k) * C;
                const std::uint32_t a = sampleAt<S>(in, at + C - 1);
                alpha += Sum(w[k]) * Sum(a);
                for (int c = 0; c < C - 1; ++c)
                    colour[c] += Sum(w[k]) * Sum(a * sampleAt<S>(in, at + std::size_t(c)));
            }
            for (int c = 0; c < C - 1; ++c)
                out[c] = Mid(roundShift(colour[c], D::kPremultipliedShift));
            out[C - 1] = Mid(roundShift(alpha, D::kPlainShift));
        }
    }
}

// Turns vertical sums (intermediates x weights) into output samples.
template <class S, int C, bool A>
void finish(const typename Depth<S>::Sum* acc, std::uint8_t* out, int width) {
    using D = Depth<S>;
    auto put = [&](std::size_t i, std::int64_t v) {
        if constexpr (sizeof(S) == 2)
            store16(out + 2 * i, std::uint16_t(v));
        else
            out[i] = std::uint8_t(v);
    };
    for (std::size_t x = 0; x < std::size_t(width); ++x) {
        const typename D::Sum* s = acc + x * C;
        if constexpr (!A) {
            for (int c = 0; c < C; ++c)
                put(x * C + std::size_t(c), roundShift(std::int64_t(s[c]), D::kFinalShift));
        } else {
            // colour = sum(alpha x value) / sum(alpha); both sums carry the same
            // weights, which cancel.
            const std::int64_t alphaSum = s[C - 1];
            const std::int64_t divisor = alphaSum >> D::kUnpremultiplyDown;
            for (int c = 0; c < C - 1; ++c) {
                std::int64_t v = 0;
                if (divisor > 0)
                    v = std::min(D::kMax,
                                 ((std::int64_t(s[c]) << D::kUnpremultiplyUp) + divisor / 2) /
                                     divisor);
                put(x * C + std::size_t(c), v);
            }
            put(x * C + C - 1, roundShift(alphaSum, D::kFinalShift));
        }
    }
}

using RowSource = std::function<const std::uint8_t*(int y)>;

// acc[i] += weight x v[i], in blocks of fixed length: GCC vectorises those even under
// the cheapest cost model of -O2, which leaves loops of unknown length alone.
template <class Sum, class V>
void addWeighted(Sum* __restrict acc, const V* __restrict v, Sum weight, std::size_t n) {
    constexpr std::size_t kBlock = 16;
    std::size_t i = 0;
    for (; i + kBlock <= n; i += kBlock)
        for (std::size_t j = 0; j < kBlock; ++j)
            acc[i + j] += weight * Sum(v[i + j]);
    for (; i < n; ++i)
        acc[i] += weight * Sum(v[i]);
}

// Enlarging vertically: each source row is resized horizontally once (two are kept,
// by the parity of their row, as consecutive output rows share them) and output rows
// interpolate between those.
template <class S, int C, bool A>
void horizontalFirst(const RowSource& source, const Taps& across, const Taps& down, Bitmap& out) {
    using Mid = typename Depth<S>::Mid;
    using Sum = typename Depth<S>::Sum;
    const std::size_t samples = std::size_t(out.width) * C;
    std::vector<Mid> mid[2] = {std::vector<Mid>(samples), std::vector<Mid>(samples)};
    int held[2] = {-1, -1};
    std::vector<Sum> acc(samples);
    for (int y = 0; y < out.height; ++y) {
        std::fill(acc.begin(), acc.end(), 0);
        const std::int32_t* w = down.weightsOf(y);
        const int first = down.start[std::size_t(y)];
        for (int k = 0; k < down.count[std::size_t(y)]; ++k) {
            const int sy = first + k;
            std::vector<Mid>& row = mid[sy & 1];
            if (held[sy & 1] != sy) {
                horizontal<S, C, A>(source(sy), row.data(), across, out.width);
                held[sy & 1] = sy;
            }
            addWeighted(acc.data(), row.data(), Sum(w[k]), samples);
        }
        finish<S, C, A>(acc.data(), out.row(y), out.width);
    }
}

// Shrinking (or keeping) the height: each output row first sums its source rows at
// full width, which runs on whole rows as vector code and touches every source pixel
// once, then only the output rows are resized horizontally.
template <class S, int C, bool A>
void verticalFirst(const RowSource& source, int sourceWidth, const Taps& across, const Taps& down,
                   Bitmap& out) {
    using D = Depth<S>;
    using Mid = typename D::Mid;
    using Sum = typename D::Sum;
    // What is summed: 8-bit samples as they are; 16-bit ones copied out of the byte
    // array; with alpha, alpha x value for the colour and alpha itself.
    using Value =
        std::conditional_t<A, std::conditional_t<sizeof(S) == 1, std::uint16_t, std::uint32_t>, S>;
    const std::size_t samples = std::size_t(sourceWidth) * C;
    std::vector<Value> values(std::is_same_v<Value, std::uint8_t> ? 0 : samples);
    std::vector<Sum> acc(samples);
    std::vector<Mid> mid(samples);
    std::vector<Sum> sums(std::size_t(out.width) * C);
    for (int y = 0; y < out.height; ++y) {
        std::fill(acc.begin(), acc.end(), 0);
        const std::int32_t* w = down.weightsOf(y);
        const int first = down.start[std::size_t(y)];
        for (int k = 0; k < down.count[std::size_t(y)]; ++k) {
            const std::uint8_t* row = source(first + k);
            const Value* v = nullptr;
            if constexpr (std::is_same_v<Value, std::uint8_t>) {
                v = row;
            } else if constexpr (!A) {
                std::memcpy(values.data(), row, samples * sizeof(Value));
                v = values.data();
            } else {
                for (std::size_t i = 0; i < samples; i += C) {
                    const Value a = Value(sampleAt<S>(row, i + C - 1));
                    for (std::size_t c = 0; c + 1 < C; ++c)
                        values[i + c] = Value(a * sampleAt<S>(row, i + c));
                    values[i + C - 1] = a;
                }
                v = values.data();
            }
            addWeighted(acc.data(), v, Sum(w[k]), samples);
        }
        for (std::size_t i = 0; i < samples; i += C)
            for (std::size_t c = 0; c < C; ++c)
                mid[i + c] = Mid(roundShift(acc[i + c], A && c + 1 < C ? D::kPremultipliedShift
                                                                       : D::kPlainShift));
        std::fill(sums.begin(), sums.end(), 0);
        for (int x = 0; x < out.width; ++x) {
            const std::int32_t* wx = across.weightsOf(x);
            const std::size_t base = std::size_t(across.start[std::size_t(x)]) * C;
            Sum* s = &sums[std::size_t(x) * C];
            for (int k = 0; k < across.count[std::size_t(x)]; ++k)
                for (std::size_t c = 0; c < C; ++c)
                    s[c] += Sum(wx[k]) * Sum(mid[base + std::size_t(k) * C + c]);
        }
        finish<S, C, A>(sums.data(), out.row(y), out.width);
    }
}

template <class S, int C, bool A>
void resizeRows(const RowSource& source, int sourceWidth, int sourceHeight, Bitmap& out) {
    const Taps across = makeTaps(sourceWidth, out.width, Depth<S>::kWeightBits);
    const Taps down = makeTaps(sourceHeight, out.height, Depth<S>::kWeightBits);
    if (out.height <= sourceHeight)
        verticalFirst<S, C, A>(source, sourceWidth, across, down, out);
    else
        horizontalFirst<S, C, A>(source, across, down, out);
}

// An Indexed bitmap's rows as Gray8, Rgb24 or Rgba32, a row at a time.
struct Expansion {
    PixelFormat format = PixelFormat::Rgb24;
    std::array<std::uint32_t, 256> palette{};
};

Expansion expansionOf(const Bitmap& source) {
    Expansion e;
    e.palette = detail::fullPalette(source);
    const auto used = detail::usedIndices(source);
    bool grey = true, opaque = true;
    for (std::size_t i = 0; i < 256; ++i) {
        if (!used[i])
            continue;
        const std::uint32_t c = e.palette[i];
        opaque = opaque && c >> 24 == 255;
        grey = grey && (c >> 16 & 255) == (c & 255) && (c >> 8 & 255) == (c & 255);
    }
    e.format = !opaque ? PixelFormat::Rgba32 : grey ? PixelFormat::Gray8 : PixelFormat::Rgb24;
    return e;
}

void expandRow(const Expansion& e, const std::uint8_t* indices, int width, std::uint8_t* out) {
    for (std::size_t x = 0; x < std::size_t(width); ++x) {
        const std::uint32_t c = e.palette[indices[x]];
        switch (e.format) {
        case PixelFormat::Gray8:
            out[x] = std::uint8_t(c);
            break;
        case PixelFormat::Rgb24:
            out[3 * x] = std::uint8_t(c >> 16);
            out[3 * x + 1] = std::uint8_t(c >> 8);
            out[3 * x + 2] = std::uint8_t(c);
            break;
        default:
            out[4 * x] = std::uint8_t(c >> 16);
            out[4 * x + 1] = std::uint8_t(c >> 8);
            out[4 * x + 2] = std::uint8_t(c);
            out[4 * x + 3] = std::uint8_t(c >> 24);
            break;
        }
    }
}

void resizeAs(PixelFormat format, const RowSource& rows, int w, int h, Bitmap& out) {
    switch (format) {
    case PixelFormat::Gray8:
        return resizeRows<std::uint8_t, 1, false>(rows, w, h, out);
    case PixelFormat::Rgb24:
        return resizeRows<std::uint8_t, 3, false>(rows, w, h, out);
    case PixelFormat::Rgba32:
        return resizeRows<std::uint8_t, 4, true>(rows, w, h, out);
    case PixelFormat::Gray16:
        return resizeRows<std::uint16_t, 1, false>(rows, w, h, out);
    case PixelFormat::Rgb48:
        return resizeRows<std::uint16_t, 3, false>(rows, w, h, out);
    case PixelFormat::Rgba64:
        return resizeRows<std::uint16_t, 4, true>(rows, w, h, out);
    default:
        throw ImagingError(ImagingError::Unsupported, "cannot resize this pixel format");
    }
}

// (29 B + 150 G + 77 R) >> 8: integer weights close to Rec. 601 that add up to 256, so
// grey stays exactly grey.
inline std::uint8_t luma(unsigned r, unsigned g, unsigned b) {
    return std::uint8_t((29 * b + 150 * g + 77 * r) >> 8);
}

} // namespace

Bitmap resize(const Bitmap& source, int width, int height, const Limits& limits) {
    detail::checkBitmap(source);
    if (width <= 0 || height <= 0)
        throw ImagingError(ImagingError::Unsupported, "cannot resize to " + std::to_string(width) +
                                                          " x " + std::to_string(height) +
                                                          " pixels");
    Bitmap out;
    if (isIndexed(source.format)) {
        const Expansion e = expansionOf(source);
        out = Bitmap::create(width, height, e.format, limits);
        std::vector<std::uint8_t> indices(std::size_t(source.width));
        std::vector<std::uint8_t> row(std::size_t(source.width) * 4);
        RowSource rows = [&](int y) {
            detail::unpackIndices(source, y, indices.data());
            expandRow(e, indices.data(), source.width, row.data());
            return static_cast<const std::uint8_t*>(row.data());
        };
        resizeAs(e.format, rows, source.width, source.height, out);
    } else {
        out = Bitmap::create(width, height, source.format, limits);
        if (width == source.width && height == source.height) {
            const std::size_t rowBytes = std::min(out.stride, source.stride);
            for (int y = 0; y < height; ++y)
                std::memcpy(out.row(y), source.row(y), rowBytes);
        } else {
            RowSource rows = [&](int y) { return source.row(y); };
            resizeAs(source.format, rows, source.width, source.height, out);
        }
    }
    out.dpiX = source.dpiX;
    out.dpiY = source.dpiY;
    out.iccProfile = source.iccProfile;
    return out;
}

bool isBlackAndWhite(const Bitmap& source) {
    if (!isIndexed(source.format))
        return false;
    const auto blackOrWhite = [](std::uint32_t c) { return c == 0xFF000000u || c == 0xFFFFFFFFu; };
    const std::size_t entries = std::size_t(1) << bitsPerPixel(source.format);
    const auto palette = detail::fullPalette(source);
    if (std::all_of(palette.begin(), palette.begin() + entries, blackOrWhite))
        return true;
    // A GIF's palette often has entries no pixel uses.
    const auto used = detail::usedIndices(source);
    for (std::size_t i = 0; i < entries; ++i)
        if (used[i] && !blackOrWhite(palette[i]))
            return false;
    return true;
}

Bitmap resizeBlackAndWhite(const Bitmap& source, int width, int height, const Limits& limits) {
    if (!isBlackAndWhite(source))
        throw ImagingError(ImagingError::Unsupported, "the picture is not black and white");
    // Grey 255 (no ink) to 0 (all ink) per output pixel, then packed; below 160 is more
    // than three eighths ink.
    const Bitmap grey = resize(source, width, height, limits);
    Bitmap out = Bitmap::create(width, height, PixelFormat::Indexed1, limits);
    out.palette = {0xFFFFFFFFu, 0xFF000000u};
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in = grey.row(y);
        std::uint8_t* o = out.row(y);
        for (std::size_t x = 0; x < std::size_t(width); ++x)
            if (in[x] < 160)
                o[x / 8] |= std::uint8_t(0x80u >> (x % 8));
    }
    out.dpiX = source.dpiX;
    out.dpiY = source.dpiY;
    return out;
}

Bitmap toGrey(const Bitmap& source) {
    detail::checkBitmap(source);
    // One byte a pixel is never more than the source already holds, whatever limits it
    // was decoded under.
    Limits unlimited;
    unlimited.maxPixels = unlimited.maxBytes = ~std::uint64_t(0);
    Bitmap out = Bitmap::create(source.width, source.height, PixelFormat::Indexed8, unlimited);
    out.palette.resize(256);
    for (std::uint32_t i = 0; i < 256; ++i)
        out.palette[i] = 0xFF000000u | i * 0x010101u;
    out.dpiX = source.dpiX;
    out.dpiY = source.dpiY;

    const std::size_t w = std::size_t(source.width);
    if (isIndexed(source.format)) {
        // A grey ramp maps each index to itself under these weights, so one table
        // serves both kinds of palette.
        const auto palette = detail::fullPalette(source);
        std::array<std::uint8_t, 256> lut;
        for (std::size_t i = 0; i < 256; ++i)
            lut[i] = luma(palette[i] >> 16 & 255, palette[i] >> 8 & 255, palette[i] & 255);
        for (int y = 0; y < source.height; ++y) {
            std::uint8_t* o = out.row(y);
            detail::unpackIndices(source, y, o);
            for (std::size_t x = 0; x < w; ++x)
                o[x] = lut[o[x]];
        }
        return out;
    }
    for (int y = 0; y < source.height; ++y) {
        const std::uint8_t* in = source.row(y);
        std::uint8_t* o = out.row(y);
        switch (source.format) {
        case PixelFormat::Gray8:
            std::memcpy(o, in, w);
            break;
        case PixelFormat::Gray16:
            for (std::size_t x = 0; x < w; ++x)
                o[x] = std::uint8_t(load16(in + 2 * x) >> 8);
            break;
        case PixelFormat::Rgb24:
            for (std::size_t x = 0; x < w; ++x, in += 3)
                o[x] = luma(in[0], in[1], in[2]);
            break;
        case PixelFormat::Rgba32:
            for (std::size_t x = 0; x < w; ++x, in += 4)
                o[x] = luma(in[0], in[1], in[2]);
            break;
        case PixelFormat::Rgb48:
            for (std::size_t x = 0; x < w; ++x, in += 6)
                o[x] = luma(load16(in) >> 8, load16(in + 2) >> 8, load16(in + 4) >> 8);
            break;
        case PixelFormat::Rgba64:
            for (std::size_t x = 0; x < w; ++x, in += 8)
                o[x] = luma(load16(in) >> 8, load16(in + 2) >> 8, load16(in + 4) >> 8);
            break;
        default:
            break;
        }
    }
    return out;
}

namespace {

unsigned pixelBits(const Bitmap& b, int x, int y, int bits) {
    const std::uint8_t* row = b.row(y);
    std::size_t bit = std::size_t(x) * std::size_t(bits);
    return (row[bit / 8] >> (8 - bits - int(bit % 8))) & ((1u << bits) - 1);
}

void setPixelBits(Bitmap& b, int x, int y, int bits, unsigned v) {
    std::uint8_t* row = b.row(y);
    std::size_t bit = std::size_t(x) * std::size_t(bits);
    int shift = 8 - bits - int(bit % 8);
    unsigned mask = ((1u << bits) - 1) << shift;
    row[bit / 8] = std::uint8_t((row[bit / 8] & ~mask) | (v << shift));
}

} // namespace

Bitmap reorient(Bitmap s, int orientation, const Limits& limits) {
    if (orientation < 2 || orientation > 8)
        return s;
    const bool transposed = orientation >= 5;
    const int w = s.width, h = s.height;
    Bitmap d = Bitmap::create(transposed ? h : w, transposed ? w : h, s.format, limits);
    d.palette = std::move(s.palette);
    d.iccProfile = std::move(s.iccProfile);
    d.dpiX = transposed ? s.dpiY : s.dpiX;
    d.dpiY = transposed ? s.dpiX : s.dpiY;
    const int bits = bitsPerPixel(s.format);
    const std::size_t bytes = std::size_t(bits / 8);
    for (int Y = 0; Y < d.height; ++Y) {
        for (int X = 0; X < d.width; ++X) {
            int x = X, y = Y;
            switch (orientation) {
            case 2:
                x = w - 1 - X;
                break;
            case 3:
                x = w - 1 - X;
                y = h - 1 - Y;
                break;
            case 4:
                y = h - 1 - Y;
                break;
            case 5:
                x = Y;
                y = X;
                break;
            case 6:
                x = Y;
                y = h - 1 - X;
                break;
            case 7:
                x = w - 1 - Y;
                y = h - 1 - X;
                break;
            case 8:
                x = w - 1 - Y;
                y = X;
                break;
            default:
                break;
            }
            if (bits >= 8)
                std::memcpy(d.row(Y) + std::size_t(X) * bytes, s.row(y) + std::size_t(x) * bytes,
                            bytes);
            else
                setPixelBits(d, X, Y, bits, pixelBits(s, x, y, bits));
        }
    }
    return d;
}

Bitmap turnClockwise(Bitmap source, int quarterTurns, const Limits& limits) {
    // The orientation values that store a picture turned 0, 1, 2 and 3 quarter turns
    // anticlockwise, which reorient undoes by turning it clockwise.
    static constexpr int kOrientationOfTurns[] = {1, 6, 3, 8};
    return reorient(std::move(source), kOrientationOfTurns[((quarterTurns % 4) + 4) % 4], limits);
}

} // namespace folimo::imaging
