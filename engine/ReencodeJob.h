// One image re-encoded in memory, with everything it needs copied in, so it can run on
// any thread: the conversion prepares the next images this way while it writes the
// current one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

struct ReencodeParams {
    std::wstring path;
    int page = 0;    // from 0: a multi-page TIFF's directory
    int encoder = 1; // of IXImage::SaveToMemory: 1 JPEG, 2 PNG, 3 GIF, 4 TIFF
    int grey = 0;
    int maxWidth = 0; // the settings' limits; -1, -1 switches shrinking off
    int maxHeight = 0;
    int dpi = 0;     // 0 and -1 keep the image's own
    int quality = 0; // JPEG only

    bool operator==(const ReencodeParams&) const = default;
};

struct ReencodeResult {
    struct Free {
        void operator()(void* data) const { std::free(data); }
    };
    std::unique_ptr<void, Free> data; // as SaveToMemory gives it
    int size = 0;                     // 0 when the image could not be re-encoded
    std::string error;                // why, then
    int pageCount = 1;                // of the file: a TIFF's directories
};

// Decodes the page, shrinks to the limits (never enlarging), turns grey, sets the resolution
// and encodes. Never throws.
ReencodeResult reencode(const ReencodeParams& params) noexcept;

// A share of the memory budget for decoded pictures, which every re-encoding and every
// recognition of a page holds while its pictures live: first for the file alone, then
// grown or shrunk to what its way holds at its peak. Taking or growing it waits until
// the budget has room; one that alone exceeds the budget waits until nothing else holds
// any.
class BudgetShare {
public:
    explicit BudgetShare(std::uint64_t fileBytes);
    ~BudgetShare();
    BudgetShare(const BudgetShare&) = delete;
    BudgetShare& operator=(const BudgetShare&) = delete;

    void decode(std::uint64_t bytes);

private:
    std::size_t bytes_;
    bool decoding_ = false;
};

// For tests: how many re-encodings and recognitions held a share of the memory budget for decoding
// at once, at most, since the last call.
int reencodeMostAtOnce();
