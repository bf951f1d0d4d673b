// The JPEG and PNG planners of the PDF writer on arbitrary bytes.
#include "pdf/ImagePlan.h"

#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        folimo::pdf::planImage(std::span<const std::uint8_t>(data, size));
    } catch (const folimo::pdf::ImageError&) {
    }
    return 0;
}
