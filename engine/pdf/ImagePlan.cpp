#include "ImagePlan.h"

#include <algorithm>
#include <array>

namespace folimo::pdf {

namespace {

bool startsWith(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

} // namespace

ImagePlan planImage(std::span<const std::uint8_t> bytes) {
    // Only the content decides: file names and extensions are often wrong.
    static constexpr std::array<std::uint8_t, 3> kJpeg = {0xFF, 0xD8, 0xFF};
    static constexpr std::array<std::uint8_t, 8> kPng = {0x89, 'P',  'N',  'G',
                                                         '\r', '\n', 0x1A, '\n'};
    if (startsWith(bytes, kJpeg))
        return planJpeg(bytes);
    if (startsWith(bytes, kPng))
        return planPng(bytes);
    throw ImageError("not a JPEG or PNG image");
}

} // namespace folimo::pdf
