#include "Quantize.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>

namespace folimo::imaging::detail {

void checkBitmap(const Bitmap& bitmap) {
    if (bitmap.width <= 0 || bitmap.height <= 0)
        throw ImagingError(ImagingError::Damaged, "the image has no pixels");
    const std::uint64_t rowBytes =
        (std::uint64_t(bitmap.width) * std::uint64_t(bitsPerPixel(bitmap.format)) + 7) / 8;
    std::uint64_t total = 0;
    if (rowBytes == 0 || bitmap.stride < rowBytes ||
        __builtin_mul_overflow(std::uint64_t(bitmap.stride), std::uint64_t(bitmap.height - 1),
                               &total) ||
        __builtin_add_overflow(total, rowBytes, &total) || bitmap.pixels.size() < total)
        throw ImagingError(ImagingError::Damaged,
                           "the image's pixel memory does not match its size (" +
                               std::to_string(bitmap.width) + " x " +
                               std::to_string(bitmap.height) + ")");
    if (isIndexed(bitmap.format) && bitmap.palette.size() > 256)
        throw ImagingError(ImagingError::Damaged, "the image's palette has more than 256 colours");
}

void unpackIndices(const Bitmap& bitmap, int y, std::uint8_t* out) {
    const std::uint8_t* row = bitmap.row(y);
    const int w = bitmap.width;
    switch (bitmap.format) {
    case PixelFormat::Indexed8:
        std::memcpy(out, row, std::size_t(w));
        break;
    case PixelFormat::Indexed4:
        for (int x = 0; x + 1 < w; x += 2) {
            out[x] = row[x >> 1] >> 4;
            out[x + 1] = row[x >> 1] & 15;
        }
        if (w & 1)
            out[w - 1] = row[w >> 1] >> 4;
        break;
    case PixelFormat::Indexed1:
        for (int x = 0; x < w; ++x)
            out[x] = (row[x >> 3] >> (7 - (x & 7))) & 1;
        break;
    default:
        break;
    }
}

std::array<bool, 256> usedIndices(const Bitmap& bitmap) {
    std::array<bool, 256> used{};
    std::vector<std::uint8_t> indices(std::size_t(bitmap.width));
    for (int y = 0; y < bitmap.height; ++y) {
        const std::uint8_t* row = bitmap.row(y);
        if (bitmap.format != PixelFormat::Indexed8) {
            unpackIndices(bitmap, y, indices.data());
            row = indices.data();
        }
        for (int x = 0; x < bitmap.width; ++x)
            used[row[x]] = true;
    }
    return used;
}

std::array<std::uint32_t, 256> fullPalette(const Bitmap& bitmap) {
    std::array<std::uint32_t, 256> full;
    full.fill(0xFF000000u);
    std::copy_n(bitmap.palette.begin(), std::min<std::size_t>(bitmap.palette.size(), 256),
                full.begin());
    return full;
}

bool resolutionOf(const Bitmap& bitmap, double& dpiX, double& dpiY) {
    auto usable = [](double dpi) { return std::isfinite(dpi) && dpi > 0 && dpi < 1e7; };
    dpiX = usable(bitmap.dpiX) ? bitmap.dpiX : 0;
    dpiY = usable(bitmap.dpiY) ? bitmap.dpiY : 0;
    if (dpiX == 0)
        dpiX = dpiY;
    if (dpiY == 0)
        dpiY = dpiX;
    return dpiX > 0;
}

bool iccProfileFits(const std::string& profile, const char colourSpace[4]) {
    return profile.size() >= 132 && profile.size() < 0x7FFFFFFF &&
           std::memcmp(profile.data() + 16, colourSpace, 4) == 0;
}

// ---------------------------------------------------------------------------------------

const std::array<std::uint32_t, 256> WuHistogram::kSquares = [] {
    std::array<std::uint32_t, 256> squares{};
    for (std::uint32_t i = 0; i < 256; ++i)
        squares[i] = i * i;
    return squares;
}();

WuHistogram::WuHistogram() : cells_(std::size_t(kSide) * kSide * kSide) {}

namespace {

// Bounds exclusive below, inclusive above, in histogram cells 0..32.
struct Box {
    int lo[3];
    int hi[3];
    int volume() const { return (hi[0] - lo[0]) * (hi[1] - lo[1]) * (hi[2] - lo[2]); }
};

struct Moments {
    double weight = 0, r = 0, g = 0, b = 0, squares = 0;
    Moments& operator+=(const Moments& o) {
        weight += o.weight, r += o.r, g += o.g, b += o.b, squares += o.squares;
        return *this;
    }
    Moments& operator-=(const Moments& o) {
        weight -= o.weight, r -= o.r, g -= o.g, b -= o.b, squares -= o.squares;
        return *this;
    }
    // How much of the box's variance its mean colour explains, times its weight.
    double explained() const { return (r * r + g * g + b * b) / weight; }
};

} // namespace

std::vector<std::uint32_t> WuHistogram::palette(int maxColours) {
    // Cumulative moments: cell (r, g, b) sums every cell at or below it on all axes,
    // so any box's moments come from eight lookups.
    std::vector<Moments> sum(cells_.size());
    for (int r = 1; r < kSide; ++r) {
        std::vector<Moments> area(kSide);
        for (int g = 1; g < kSide; ++g) {
            Moments line;
            for (int b = 1; b < kSide; ++b) {
                const Cell& c = cells_[std::size_t(index(r, g, b))];
                line += Moments{double(c.weight), double(c.r), double(c.g), double(c.b), c.squares};
                area[std::size_t(b)] += line;
                Moments m = sum[std::size_t(index(r - 1, g, b))];
                m += area[std::size_t(b)];
                sum[std::size_t(index(r, g, b))] = m;
            }
        }
    }
    auto at = [&](int r, int g, int b) -> const Moments& {
        return sum[std::size_t(index(r, g, b))];
    };
    auto volume = [&](const Box& x) {
        Moments m = at(x.hi[0], x.hi[1], x.hi[2]);
        m -= at(x.hi[0], x.hi[1], x.lo[2]);
        m -= at(x.hi[0], x.lo[1], x.hi[2]);
        m += at(x.hi[0], x.lo[1], x.lo[2]);
        m -= at(x.lo[0], x.hi[1], x.hi[2]);
        m += at(x.lo[0], x.hi[1], x.lo[2]);
        m += at(x.lo[0], x.lo[1], x.hi[2]);
        m -= at(x.lo[0], x.lo[1], x.lo[2]);
        return m;
    };
    auto variance = [&](const Box& x) {
        if (x.volume() <= 1)
            return 0.0;
        const Moments m = volume(x);
        return m.weight > 0 ? m.squares - m.explained() : 0.0;
    };
    // Splits `box` where the two halves explain the most (least remaining variance);
    // false when no plane leaves pixels on both sides.
    auto cut = [&](Box& box, Box& other) {
        const Moments whole = volume(box);
        double best = 0;
        int bestAxis = -1, bestAt = 0;
        for (int axis = 0; axis < 3; ++axis) {
            for (int at = box.lo[axis] + 1; at < box.hi[axis]; ++at) {
                Box lower = box;
                lower.hi[axis] = at;
                const Moments half = volume(lower);
                Moments rest = whole;
                rest -= half;
                if (half.weight <= 0 || rest.weight <= 0)
                    continue;
                const double score = half.explained() + rest.explained();
                if (score > best) {
                    best = score;
                    bestAxis = axis;
                    bestAt = at;
                }
            }
        }
        if (bestAxis < 0)
            return false;
        other = box;
        box.hi[bestAxis] = bestAt;
        other.lo[bestAxis] = bestAt;
        return true;
    };

    std::vector<Box> boxes(std::size_t(std::max(maxColours, 1)));
    std::vector<double> spread(boxes.size(), 0.0);
    boxes[0] = Box{{0, 0, 0}, {kSide - 1, kSide - 1, kSide - 1}};
    int count = 1;
    std::size_t next = 0;
    while (count < maxColours) {
        if (cut(boxes[next], boxes[std::size_t(count)])) {
            spread[next] = variance(boxes[next]);
            spread[std::size_t(count)] = variance(boxes[std::size_t(count)]);
            ++count;
        } else {
            spread[next] = 0;
        }
        next =
            std::size_t(std::max_element(spread.begin(), spread.begin() + count) - spread.begin());
        if (spread[next] <= 0)
            break;
    }

    std::vector<std::uint32_t> colours;
    for (int i = 0; i < count; ++i) {
        const Moments m = volume(boxes[std::size_t(i)]);
        if (m.weight <= 0)
            continue;
        auto mean = [&](double s) {
            return std::uint32_t(std::clamp(s / m.weight + 0.5, 0.0, 255.0));
        };
        colours.push_back(0xFF000000u | mean(m.r) << 16 | mean(m.g) << 8 | mean(m.b));
    }
    return colours;
}

// ---------------------------------------------------------------------------------------

NearestColour::NearestColour(std::span<const std::uint32_t> palette)
    : cache_(std::size_t(1) << 18, std::int16_t(-1)) {
    for (std::size_t i = 0; i < palette.size(); ++i) {
        const std::uint32_t c = palette[i];
        byGreen_.push_back({int(c >> 16 & 255), int(c >> 8 & 255), int(c & 255), int(i)});
    }
    std::stable_sort(byGreen_.begin(), byGreen_.end(),
                     [](const Entry& a, const Entry& b) { return a.g < b.g; });
}

int NearestColour::search(int r, int g, int b) const {
    const std::size_t n = byGreen_.size();
    std::size_t up =
        std::size_t(std::lower_bound(byGreen_.begin(), byGreen_.end(), g,
                                     [](const Entry& e, int green) { return e.g < green; }) -
                    byGreen_.begin());
    std::size_t down = up; // the next one to look at downwards is down - 1
    int best = INT_MAX, bestIndex = 0;
    auto consider = [&](const Entry& e) {
        const int dr = e.r - r, dg = e.g - g, db = e.b - b;
        const int d = dr * dr + dg * dg + db * db;
        if (d < best || (d == best && e.index < bestIndex)) {
            best = d;
            bestIndex = e.index;
        }
    };
    // Walk outwards in green; once the green difference alone reaches the best
    // distance, nothing further that way can be nearer.
    bool goUp = up < n;
    bool goDown = down > 0;
    while (goUp || goDown) {
        if (goUp) {
            const int dg = byGreen_[up].g - g;
            if (dg * dg > best) {
                goUp = false;
            } else {
                consider(byGreen_[up]);
                goUp = ++up < n;
            }
        }
        if (goDown) {
            const int dg = g - byGreen_[down - 1].g;
            if (dg * dg > best) {
                goDown = false;
            } else {
                consider(byGreen_[down - 1]);
                goDown = --down > 0;
            }
        }
    }
    return bestIndex;
}

// ---------------------------------------------------------------------------------------

Ditherer::Ditherer(std::span<const std::uint32_t> palette, int width, int transparentIndex)
    : palette_(palette.begin(), palette.end()), nearest_(palette), width_(width),
      transparent_(transparentIndex), current_(std::size_t(width + 2) * 3, 0),
      next_(std::size_t(width + 2) * 3, 0) {}

void Ditherer::mapRow(const std::uint8_t* rgba, std::uint8_t* out) {
    std::fill(next_.begin(), next_.end(), 0);
    const int step = reverse_ ? -1 : 1;
    const std::ptrdiff_t ahead = 3 * step;
    int x = reverse_ ? width_ - 1 : 0;
    for (int n = 0; n < width_; ++n, x += step) {
        const std::uint8_t* p = rgba + 4 * std::size_t(x);
        int* here = &current_[std::size_t(x + 1) * 3];
        int* below = &next_[std::size_t(x + 1) * 3];
        if (p[3] < 128) {
            out[x] = std::uint8_t(transparent_);
            continue;
        }
        int want[3];
        for (int c = 0; c < 3; ++c)
            want[c] = std::clamp(int(p[c]) + ((here[c] + 8) >> 4), 0, 255);
        const int index = nearest_.find(want[0], want[1], want[2]);
        out[x] = std::uint8_t(index);
        const std::uint32_t got = palette_[std::size_t(index)];
        const int error[3] = {want[0] - int(got >> 16 & 255), want[1] - int(got >> 8 & 255),
                              want[2] - int(got & 255)};
        for (int c = 0; c < 3; ++c) {
            here[ahead + c] += error[c] * 7;
            below[-ahead + c] += error[c] * 3;
            below[c] += error[c] * 5;
            below[ahead + c] += error[c];
        }
    }
    std::swap(current_, next_);
    reverse_ = !reverse_;
}

} // namespace folimo::imaging::detail
