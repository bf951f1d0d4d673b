// A chroma plane halved both ways without pixels. Decoding blocks, averaging each 2 x 2
// group of samples and transforming the result again is linear in the coefficients, so
// every output block is a fixed function of the four input blocks it covers: two small
// matrices, one per direction, applied to the dequantised coefficients. The picture's
// right and bottom edges are filled the way libjpeg's encoder fills them, so the result
// matches what decoding and encoding again would write.
#pragma once

#include <cstdint>

namespace folimo::imaging::detail {

class ChromaHalver {
public:
    ChromaHalver() = default;
    // `from` and `to`: the input's and the output's quantisation steps in natural
    // order; `width` x `height`: the picture in full-resolution samples.
    ChromaHalver(const std::uint16_t* from, const std::uint16_t* to, unsigned width,
                 unsigned height);

    unsigned columns() const { return columns_; } // output blocks across
    unsigned rows() const { return rows_; }       // output blocks down

    // The output block at (column, row) from the quantised input blocks it covers:
    // top left, top right, bottom left, bottom right; those beyond the input's blocks
    // are null. Writes 64 quantised coefficients, saturated to 16 bits.
    void halve(const std::int16_t* const quad[4], unsigned column, unsigned row,
               std::int16_t* out) const;

    // One direction's map from two blocks' 16 coefficients to the output's 8, for a
    // stretch of `valid` samples (16 inside the picture, fewer at its last block).
    // Across, the encoder repeats the last sample before averaging; down, it repeats the
    // last averaged row. Public for the tests' sake.
    struct Map {
        float full[8][16];
        float low[8][8]; // the columns of the lower four frequencies of each block
        float fullT[16][8];
        float lowT[8][8];
    };
    static Map makeMap(unsigned valid, bool down);

private:
    Map across_[2]; // inside, last column
    Map down_[2];   // inside, last row
    float from_[64];
    float to_[64]; // reciprocal steps
    unsigned columns_ = 0;
    unsigned rows_ = 0;
};

} // namespace folimo::imaging::detail
