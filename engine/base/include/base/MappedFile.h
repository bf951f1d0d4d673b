// A whole input file read into memory, checked to be a regular file before it is
// opened for reading and to be unchanged once it has been read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace folimo::pdf {

class MappedFile {
public:
    // Throws PdfError(kErrOpenFile) with the reason when the file cannot be opened, is
    // not a regular file, or changed while it was read. An empty file gives an empty
    // span.
    // A file of more than `most` bytes is read whole only when `refusal`, shown its first
    // bytes and its size, gives no reason not to: reading a file to find out what it is
    // would otherwise hold all of it, for nothing when it holds no picture.
    using Refusal =
        std::function<std::string(std::span<const std::uint8_t> head, std::uint64_t size)>;
    explicit MappedFile(const std::string& utf8Path, std::uint64_t most = UINT64_MAX,
                        const Refusal& refusal = {});
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::span<const std::uint8_t> bytes() const { return {data_.get(), size_}; }

private:
    struct Free {
        void operator()(std::uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<std::uint8_t, Free> data_;
    std::size_t size_ = 0;
};

} // namespace folimo::pdf
