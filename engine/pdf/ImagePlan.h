// How one image file becomes PDF image objects: the plan says whether its bytes pass
// through as they stand (JPEG, most PNG) or were decoded and compressed anew, and
// carries everything the writer needs to write the image and its soft mask.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace folimo::pdf {

// An image file that is damaged or that no plan exists for. what() says why in words
// a user can act on ("the PNG file is truncated", "not a JPEG or PNG file").
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ColorSpacePlan {
    std::string device;  // "/DeviceGray", "/DeviceRGB" or "/DeviceCMYK"
    std::string icc;     // embedded ICC profile bytes; written as /ICCBased over `device`
    std::string palette; // for an indexed image: the palette, components of `device` per entry
};

// Move-only: `data` may point into `owned`, which a copy would not carry along.
struct ImageStreamPlan {
    ImageStreamPlan() = default;
    ImageStreamPlan(ImageStreamPlan&&) = default;
    ImageStreamPlan& operator=(ImageStreamPlan&&) = default;
    ImageStreamPlan(const ImageStreamPlan&) = delete;
    ImageStreamPlan& operator=(const ImageStreamPlan&) = delete;

    int width = 0;
    int height = 0;
    int bitsPerComponent = 8;
    ColorSpacePlan colorSpace;
    std::string filter;       // "/DCTDecode", "/FlateDecode", or empty for raw samples
    std::string decodeParms;  // the dictionary text, e.g. "<< /Predictor 15 ... >>", or empty
    std::string decode;       // the array text, e.g. "[1 0 1 0 1 0 1 0]", or empty
    std::string colorKeyMask; // the /Mask array text for a colour-key transparency, or empty
    // The encoded data in order: views into the input bytes or into `owned`.
    std::vector<std::string_view> data;
    std::string owned;
    bool passthrough = false; // the data is the input's own, not decoded and encoded anew
};

struct ImagePlan {
    std::string format; // "jpeg", "png"
    ImageStreamPlan image;
    std::optional<ImageStreamPlan> softMask; // DeviceGray alpha, same pixel size
    double resx = 0;                         // dots per inch from the file; 0 when it has none
    double resy = 0;
    // EXIF Orientation of the stored picture (1 to 8; 1 = upright). The data stays as
    // it is; the writer turns the picture when it places it.
    int orientation = 1;
};

// Plans an image from its file bytes, recognised by content. The plan's views point
// into `bytes`, which must outlive it. Throws ImageError.
ImagePlan planImage(std::span<const std::uint8_t> bytes);
ImagePlan planJpeg(std::span<const std::uint8_t> bytes);
ImagePlan planPng(std::span<const std::uint8_t> bytes);

} // namespace folimo::pdf

namespace folimo::imaging {
struct Bitmap;
enum class ImageFormat;
} // namespace folimo::imaging

namespace folimo::pdf {

// Plans a decoded bitmap: its samples compressed anew, a palette kept as an indexed
// colour space, alpha as a soft mask, 16-bit samples kept.
ImagePlan planBitmap(const imaging::Bitmap& bitmap);
// Page `page` (from 0) of a file decoded and planned as a bitmap, refused before it is
// decoded when the picture, its samples and their compressed stream, all held at once,
// would take more than the memory allowed for one image. Throws imaging::ImagingError.
ImagePlan planDecoded(std::span<const std::uint8_t> bytes, imaging::ImageFormat format,
                      int page = 0);

// Plans page `page` (from 0) of a TIFF: Group 3 and 4 fax data passes through as
// CCITTFaxDecode where that is safe (see imaging::tiffFaxPage), anything else is
// decoded and planned as a bitmap. Throws imaging::ImagingError.
ImagePlan planTiff(std::span<const std::uint8_t> bytes, int page);

// Upper bound on the pixels of one decoded image, so a hostile header cannot make
// the planner allocate without end.
inline constexpr std::uint64_t kMaxImagePixels = 400'000'000;

} // namespace folimo::pdf
