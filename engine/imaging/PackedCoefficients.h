// The coefficients of a progressive JPEG, held packed. Such a file may refine any block
// in its last scan, so libjpeg must hold all of them until the end: 128 bytes a block,
// 100 MB for a 16-megapixel photograph with full-resolution colour. Most of them are
// zero, so between the decoder's passes each block is kept as the mask of its non-zero
// coefficients and those alone, a third to a tenth of the size; only the rows the
// decoder or encoder is at are held whole.
//
// Stands in for libjpeg's own virtual block arrays (request_virt_barray and
// access_virt_barray of its memory manager), with the same contract: the rows an access
// gives stay valid until the next access to the same array.
#pragma once

#include <cstdint>
#include <cstdio>

#include <jpeglib.h>

namespace folimo::imaging::detail {

class PackedArrays {
public:
    PackedArrays() = default;
    ~PackedArrays();
    PackedArrays(const PackedArrays&) = delete;
    PackedArrays& operator=(const PackedArrays&) = delete;

    // As libjpeg's memory manager: `blocks` x `rows`, at most `maxAccess` rows an access.
    // Both fail through ERREXIT, so they may be left by longjmp; what they hold is freed
    // by the destructor.
    jvirt_barray_ptr request(j_common_ptr cinfo, JDIMENSION blocks, JDIMENSION rows,
                             JDIMENSION maxAccess);
    JBLOCKARRAY access(j_common_ptr cinfo, jvirt_barray_ptr array, JDIMENSION first,
                       JDIMENSION count, bool writable);

    bool owns(jvirt_barray_ptr array) const;
    std::uint64_t packedBytes() const { return packedBytes_; } // all rows, packed

    // What the packed coefficients of a file of `fileBytes` holding `blocks` blocks come
    // to at most, short of a file coded far more tightly than photographs are.
    static std::uint64_t estimate(std::uint64_t blocks, std::uint64_t fileBytes);

private:
    struct Array {
        JDIMENSION blocks = 0, rows = 0, maxAccess = 0;
        unsigned char** packed = nullptr; // each row's, or null while it is all zero
        std::uint32_t* sizes = nullptr;
        std::uint64_t* masks = nullptr; // a row's, while it is packed
        JBLOCKARRAY band = nullptr;     // the rows within reach, whole
        JDIMENSION first = 0, count = 0;
        bool dirty = false;
    };

    void pack(j_common_ptr cinfo, Array& array, JDIMENSION row, JBLOCKROW blocks);
    void unpack(const Array& array, JDIMENSION row, JBLOCKROW blocks) const;

    Array arrays_[MAX_COMPONENTS];
    int count_ = 0;
    std::uint64_t packedBytes_ = 0;
};

} // namespace folimo::imaging::detail
