#include "PackedCoefficients.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include <jerror.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace folimo::imaging::detail {

namespace {

// libjpeg's error exit (ERREXIT), which leaves by longjmp; said so to the compiler and
// the analyser, so that nothing after a failed check is taken for reachable.
[[noreturn]] void fail(j_common_ptr cinfo, int code, int detail = 0) {
    cinfo->err->msg_code = code;
    cinfo->err->msg_parm.i[0] = detail;
    (*cinfo->err->error_exit)(cinfo);
    std::abort();
}

std::uint64_t nonZeroMask(const JCOEF* coef) {
#ifdef __SSE2__
    std::uint64_t mask = 0;
    const __m128i zero = _mm_setzero_si128();
    for (int k = 0; k < DCTSIZE2; k += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + k));
        const __m128i isZero = _mm_cmpeq_epi16(v, zero);
        const unsigned zeros = unsigned(_mm_movemask_epi8(_mm_packs_epi16(isZero, isZero))) & 0xff;
        mask |= std::uint64_t(~zeros & 0xff) << k;
    }
    return mask;
#else
    std::uint64_t mask = 0;
    for (int k = 0; k < DCTSIZE2; ++k)
        mask |= std::uint64_t(coef[k] != 0) << k;
    return mask;
#endif
}

} // namespace

PackedArrays::~PackedArrays() {
    for (int i = 0; i < count_; ++i) {
        Array& array = arrays_[i];
        if (array.packed)
            for (JDIMENSION row = 0; row < array.rows; ++row)
                std::free(array.packed[row]);
        std::free(array.packed);
        std::free(array.sizes);
    }
}

std::uint64_t PackedArrays::estimate(std::uint64_t blocks, std::uint64_t fileBytes) {
    // A mask a block, and two bytes for each coefficient the file codes. A non-zero
    // coefficient takes at least its size's code and one bit of value, and in a
    // photograph's file its share of the zero runs too: four bits or more.
    return blocks * sizeof(std::uint64_t) + fileBytes * 8 / 4 * sizeof(JCOEF);
}

jvirt_barray_ptr PackedArrays::request(j_common_ptr cinfo, JDIMENSION blocks, JDIMENSION rows,
                                       JDIMENSION maxAccess) {
    if (count_ >= MAX_COMPONENTS || blocks == 0 || rows == 0 || maxAccess == 0)
        fail(cinfo, JERR_BAD_VIRTUAL_ACCESS);
    Array& array = arrays_[count_++];
    array.blocks = blocks;
    array.rows = rows;
    array.maxAccess = maxAccess;
    array.packed = static_cast<unsigned char**>(std::calloc(rows, sizeof(unsigned char*)));
    array.sizes = static_cast<std::uint32_t*>(std::calloc(rows, sizeof(std::uint32_t)));
    if (!array.packed || !array.sizes)
        fail(cinfo, JERR_OUT_OF_MEMORY, 11);
    array.masks = static_cast<std::uint64_t*>(
        (*cinfo->mem->alloc_large)(cinfo, JPOOL_IMAGE, blocks * sizeof(std::uint64_t)));
    array.band = (*cinfo->mem->alloc_barray)(cinfo, JPOOL_IMAGE, blocks, maxAccess);
    return reinterpret_cast<jvirt_barray_ptr>(&array);
}

bool PackedArrays::owns(jvirt_barray_ptr array) const {
    const auto* held = reinterpret_cast<const Array*>(array);
    return held >= arrays_ && held < arrays_ + count_;
}

JBLOCKARRAY PackedArrays::access(j_common_ptr cinfo, jvirt_barray_ptr handle, JDIMENSION first,
                                 JDIMENSION count, bool writable) {
    Array& array = *reinterpret_cast<Array*>(handle);
    if (count == 0 || count > array.maxAccess || first > array.rows || count > array.rows - first)
        fail(cinfo, JERR_BAD_VIRTUAL_ACCESS);
    const bool within =
        array.count > 0 && first >= array.first && first + count <= array.first + array.count;
    if (!within) {
        if (array.dirty)
            for (JDIMENSION i = 0; i < array.count; ++i)
                pack(cinfo, array, array.first + i, array.band[i]);
        for (JDIMENSION i = 0; i < count; ++i)
            unpack(array, first + i, array.band[i]);
        array.first = first;
        array.count = count;
        array.dirty = false;
    }
    array.dirty = array.dirty || writable;
    return array.band + (first - array.first);
}

// A row as each block's mask followed by its non-zero coefficients in natural order.
void PackedArrays::pack(j_common_ptr cinfo, Array& array, JDIMENSION row, JBLOCKROW blocks) {
    if (array.blocks == 0)
        return;
    std::uint64_t values = 0;
    for (JDIMENSION x = 0; x < array.blocks; ++x) {
        array.masks[x] = nonZeroMask(blocks[x]);
        values += unsigned(std::popcount(array.masks[x]));
    }
    const std::uint64_t size = array.blocks * sizeof(std::uint64_t) + values * sizeof(JCOEF);
    if (size > UINT32_MAX)
        fail(cinfo, JERR_BAD_VIRTUAL_ACCESS);
    if (!array.packed[row] || size != array.sizes[row]) {
        auto* grown = static_cast<unsigned char*>(std::realloc(array.packed[row], size));
        if (!grown)
            fail(cinfo, JERR_OUT_OF_MEMORY, 11);
        packedBytes_ += size - array.sizes[row];
        array.packed[row] = grown;
        array.sizes[row] = std::uint32_t(size);
    }
    unsigned char* out = array.packed[row];
    for (JDIMENSION x = 0; x < array.blocks; ++x) {
        std::uint64_t mask = array.masks[x];
        std::memcpy(out, &mask, sizeof mask);
        out += sizeof mask;
        for (; mask; mask &= mask - 1) {
            std::memcpy(out, &blocks[x][std::countr_zero(mask)], sizeof(JCOEF));
            out += sizeof(JCOEF);
        }
    }
}

void PackedArrays::unpack(const Array& array, JDIMENSION row, JBLOCKROW blocks) const {
    std::memset(blocks, 0, array.blocks * sizeof(JBLOCK));
    const unsigned char* in = array.packed[row];
    if (!in)
        return;
    for (JDIMENSION x = 0; x < array.blocks; ++x) {
        std::uint64_t mask;
        std::memcpy(&mask, in, sizeof mask);
        in += sizeof mask;
        for (; mask; mask &= mask - 1) {
            std::memcpy(&blocks[x][std::countr_zero(mask)], in, sizeof(JCOEF));
            in += sizeof(JCOEF);
        }
    }
}

} // namespace folimo::imaging::detail
