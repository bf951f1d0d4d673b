#include "Deflate.h"

#include "base/PdfError.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
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

namespace folimo::pdf {

DeflateStream::DeflateStream(int level) : z_(std::make_unique<z_stream_s>()) {
    if (deflateInit(z_.get(), std::clamp(level, 1, 9)) != Z_OK)
        throw PdfError(kErrInternal, "", "out of memory for the compressor");
}

DeflateStream::~DeflateStream() {
    deflateEnd(z_.get());
}

// zlib's own loop: output space ran out while more may be pending, so go again.
void DeflateStream::run(int flush) {
    constexpr std::size_t kChunk = 256u << 10;
    int rc = Z_OK;
    do {
        const std::size_t had = out_.size();
        out_.resize(had + kChunk);
        z_->next_out = reinterpret_cast<Bytef*>(out_.data() + had);
        z_->avail_out = uInt(kChunk);
        rc = deflate(z_.get(), flush);
        out_.resize(out_.size() - z_->avail_out);
        if (rc == Z_STREAM_ERROR)
            throw PdfError(kErrInternal, "", "compression failed");
    } while (z_->avail_out == 0);
    if (flush == Z_FINISH && rc != Z_STREAM_END)
        throw PdfError(kErrInternal, "", "compression failed");
}

void DeflateStream::write(std::string_view data) {
    // zlib counts input in 32-bit units.
    constexpr std::size_t kMaxPiece = 1u << 30;
    while (!data.empty()) {
        const std::size_t n = std::min(data.size(), kMaxPiece);
        z_->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        z_->avail_in = uInt(n);
        run(Z_NO_FLUSH);
        data.remove_prefix(n);
    }
}

std::string DeflateStream::finish() {
    z_->next_in = nullptr;
    z_->avail_in = 0;
    run(Z_FINISH);
    return std::move(out_);
}

} // namespace folimo::pdf
