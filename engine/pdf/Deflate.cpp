#include "Deflate.h"

#include "PdfError.h"

#include <libdeflate.h>
#include <memory>

namespace folimo::pdf {

std::string deflateBytes(std::string_view data, int level) {
    struct Free {
        void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
    };
    // Compressors are costly to make (tables of several hundred KiB); one per thread.
    thread_local std::unique_ptr<libdeflate_compressor, Free> compressors[13];
    if (level < 1 || level > 12)
        level = 6;
    auto& compressor = compressors[level];
    if (!compressor)
        compressor.reset(libdeflate_alloc_compressor(level));
    if (!compressor)
        throw PdfError(kErrInternal, "", "out of memory for the compressor");
    std::string out(libdeflate_zlib_compress_bound(compressor.get(), data.size()), '\0');
    std::size_t n = libdeflate_zlib_compress(compressor.get(), data.data(), data.size(), out.data(),
                                             out.size());
    if (n == 0)
        throw PdfError(kErrInternal, "", "compression failed");
    out.resize(n);
    return out;
}

} // namespace folimo::pdf
