#include "ChromaHalving.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace folimo::imaging::detail {

namespace {

// The orthonormal 8-point DCT, which is what dequantised JPEG coefficients are.
struct Cosines {
    double c[8][8];
    Cosines() {
        const double pi = std::acos(-1.0);
        for (int k = 0; k < 8; ++k)
            for (int n = 0; n < 8; ++n)
                c[k][n] = (k == 0 ? std::sqrt(0.125) : 0.5) * std::cos((2 * n + 1) * k * pi / 16);
    }
};

// Whether a block has nothing beyond its lower four frequencies either way. Photographs'
// chroma rarely has, and such blocks take a quarter of the arithmetic.
bool lowOnly(const std::int16_t* block) {
    std::uint64_t any = 0;
    for (int row = 0; row < 4; ++row) {
        std::uint64_t right;
        std::memcpy(&right, block + row * 8 + 4, sizeof right);
        any |= right;
    }
    for (int k = 32; k < 64; k += 4) {
        std::uint64_t four;
        std::memcpy(&four, block + k, sizeof four);
        any |= four;
    }
    return any == 0;
}

// Eight floats at a time: one row of an output block.
struct Row {
    float v[8];
};

// to = by x from, or to += by x from once `to` holds something. Rows are set by their
// first term rather than zeroed first: zeroing them all costs more than the sums.
inline void addScaled(Row& to, bool& set, float by, const float* from) {
    if (set) {
        for (int l = 0; l < 8; ++l)
            to.v[l] += by * from[l];
    } else {
        for (int l = 0; l < 8; ++l)
            to.v[l] = by * from[l];
        set = true;
    }
}

// y = down . z . across^T, z being the dequantised coefficients of the four blocks, their
// lower `half` frequencies each way (4 or 8). Across first, row by row of z, skipping the
// zeros that make up most of a photograph's chroma; then down, over the rows not zero.
template <int Half>
void apply(const std::int16_t* const quad[4], const float* steps, const float (&down)[8][2 * Half],
           const float (&acrossT)[2 * Half][8], Row (&y)[8]) {
    Row across[2 * Half];
    bool any[2 * Half] = {};
    for (int b = 0; b < 4; ++b) {
        if (!quad[b])
            continue;
        for (int v = 0; v < Half; ++v) {
            const std::int16_t* coef = quad[b] + v * 8;
            const int r = (b / 2) * Half + v;
            for (int u = 0; u < Half; ++u)
                if (coef[u] != 0)
                    addScaled(across[r], any[r], float(coef[u]) * steps[v * 8 + u],
                              acrossT[(b % 2) * Half + u]);
        }
    }
    bool set[8] = {};
    for (int r = 0; r < 2 * Half; ++r)
        if (any[r])
            for (int k = 0; k < 8; ++k)
                addScaled(y[k], set[k], down[k][r], across[r].v);
    for (int k = 0; k < 8; ++k)
        if (!set[k])
            y[k] = Row{};
}

} // namespace

ChromaHalver::Map ChromaHalver::makeMap(unsigned valid, bool down) {
    static const Cosines cosines;
    const auto& c = cosines.c;
    valid = std::clamp(valid, 1u, 16u);
    Map map{};
    for (int j = 0; j < 16; ++j) {
        // The samples of one coefficient alone, as the decoder makes them.
        double samples[16] = {};
        for (int t = 0; t < 8; ++t)
            samples[(j / 8) * 8 + t] = c[j % 8][t];
        for (unsigned t = valid; t < 16; ++t)
            samples[t] = samples[valid - 1];
        double half[8];
        for (int i = 0; i < 8; ++i)
            half[i] = (samples[2 * i] + samples[2 * i + 1]) / 2;
        if (down)
            for (unsigned i = (valid + 1) / 2; i < 8; ++i)
                half[i] = half[(valid + 1) / 2 - 1];
        for (int k = 0; k < 8; ++k) {
            double sum = 0;
            for (int i = 0; i < 8; ++i)
                sum += c[k][i] * half[i];
            map.full[k][j] = float(sum);
            map.fullT[j][k] = float(sum);
            if (j % 8 < 4) {
                const int low = (j / 8) * 4 + j % 8;
                map.low[k][low] = float(sum);
                map.lowT[low][k] = float(sum);
            }
        }
    }
    return map;
}

ChromaHalver::ChromaHalver(const std::uint16_t* from, const std::uint16_t* to, unsigned width,
                           unsigned height)
    : columns_((width + 15) / 16), rows_((height + 15) / 16) {
    for (int k = 0; k < 64; ++k) {
        from_[k] = float(from[k]);
        to_[k] = 1.0f / float(std::max<std::uint16_t>(to[k], 1));
    }
    across_[0] = makeMap(16, false);
    down_[0] = makeMap(16, true);
    across_[1] = makeMap(width - 16 * (columns_ - 1), false);
    down_[1] = makeMap(height - 16 * (rows_ - 1), true);
}

void ChromaHalver::halve(const std::int16_t* const quad[4], unsigned column, unsigned row,
                         std::int16_t* out) const {
    const Map& across = across_[column + 1 == columns_ ? 1 : 0];
    const Map& down = down_[row + 1 == rows_ ? 1 : 0];
    bool low = true;
    for (int b = 0; b < 4 && low; ++b)
        low = !quad[b] || lowOnly(quad[b]);
    Row y[8];
    if (low)
        apply<4>(quad, from_, down.low, across.lowT, y);
    else
        apply<8>(quad, from_, down.full, across.fullT, y);
    for (int k = 0; k < 8; ++k) {
#ifdef __SSE2__
        // The conversion rounds to the nearest; the packing saturates to 16 bits.
        const __m128i low =
            _mm_cvtps_epi32(_mm_mul_ps(_mm_loadu_ps(y[k].v), _mm_loadu_ps(to_ + 8 * k)));
        const __m128i high =
            _mm_cvtps_epi32(_mm_mul_ps(_mm_loadu_ps(y[k].v + 4), _mm_loadu_ps(to_ + 8 * k + 4)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * k), _mm_packs_epi32(low, high));
#else
        for (int l = 0; l < 8; ++l) {
            const float v = std::clamp(y[k].v[l] * to_[8 * k + l], -32768.0f, 32767.0f);
            out[8 * k + l] = std::int16_t(std::nearbyint(v));
        }
#endif
    }
}

} // namespace folimo::imaging::detail
