// A whole input file mapped read-only into memory, so image data can pass from the
// input to the output without being copied by us.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace folimo::pdf {

class MappedFile {
public:
    // Throws PdfError(kErrOpenFile) with the reason when the file cannot be opened or is
    // not a regular file. An empty file maps to an empty span.
    explicit MappedFile(const std::string& utf8Path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace folimo::pdf
