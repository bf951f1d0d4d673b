// A whole input file read into memory, checked to be a regular file before it is
// opened for reading and to be unchanged once it has been read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>

namespace folimo::pdf {

class MappedFile {
public:
    // Throws PdfError(kErrOpenFile) with the reason when the file cannot be opened, is
    // not a regular file, or changed while it was read. An empty file gives an empty
    // span.
    explicit MappedFile(const std::string& utf8Path);
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
