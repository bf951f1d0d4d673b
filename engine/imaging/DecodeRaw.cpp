// Camera raw files through LibRaw: demosaiced with the camera's white balance into 8-bit
// sRGB, as a raw converter's default development would show them.
#include "Codecs.h"
#include "DecodeSupport.h"

#include <libraw/libraw.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace folimo::imaging {
namespace {

[[noreturn]] void fail(int code) {
    const std::string reason = libraw_strerror(code);
    switch (code) {
    case LIBRAW_FILE_UNSUPPORTED:
    case LIBRAW_NOT_IMPLEMENTED:
    case LIBRAW_REQUEST_FOR_NONEXISTENT_IMAGE:
        throw ImagingError(ImagingError::Unsupported,
                           "the camera raw file cannot be read: " + reason);
    case LIBRAW_UNSUFFICIENT_MEMORY:
    case LIBRAW_TOO_BIG:
    case LIBRAW_MEMPOOL_OVERFLOW:
        throw ImagingError(ImagingError::TooLarge, "the camera raw image is too large: " + reason);
    default:
        throw ImagingError(ImagingError::Damaged, "the camera raw file is damaged: " + reason);
    }
}

void checkLimits(std::uint64_t width, std::uint64_t height, int bytesPerPixel,
                 const Limits& limits) {
    if (width * height > limits.maxPixels ||
        width * std::uint64_t(bytesPerPixel) * height > limits.maxBytes)
        throw ImagingError(ImagingError::TooLarge, "the image is too large (" +
                                                       std::to_string(width) + " x " +
                                                       std::to_string(height) + " pixels)");
}

// LibRaw reports damaged data through callbacks (printing to stderr by default) and
// carries on with what it has; we count the reports instead.
void countDataError(void* data, const char*, const int) {
    ++*static_cast<int*>(data);
}
void countMemoryError(void* data, const char*, const char*) {
    ++*static_cast<int*>(data);
}

} // namespace

Bitmap decodeRaw(std::span<const std::uint8_t> bytes, const Limits& limits) {
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    int dataErrors = 0;
    int memoryErrors = 0;
    raw->set_dataerror_handler(countDataError, &dataErrors);
    raw->set_memerror_handler(countMemoryError, &memoryErrors);

    libraw_output_params_t& params = raw->imgdata.params;
    params.output_bps = 8;
    params.use_camera_wb = 1;
    params.output_color = 1; // sRGB
    params.half_size = 0;
    params.max_raw_memory_mb =
        unsigned(std::clamp<std::uint64_t>(limits.maxBytes >> 20, 1, LIBRAW_MAX_ALLOC_MB_DEFAULT));

    // LibRaw's buffer stream only reads, though the signature does not say so.
    int rc = raw->open_buffer(const_cast<std::uint8_t*>(bytes.data()), bytes.size());
    if (rc != LIBRAW_SUCCESS)
        fail(rc);
    const libraw_image_sizes_t& sizes = raw->imgdata.sizes;
    if (sizes.width == 0 || sizes.height == 0 || sizes.raw_width == 0 || sizes.raw_height == 0)
        throw ImagingError(ImagingError::Damaged, "the camera raw file gives no image size");
    checkLimits(sizes.raw_width, sizes.raw_height, 2, limits);
    checkLimits(sizes.width, sizes.height, 3, limits);

    rc = raw->unpack();
    if (rc != LIBRAW_SUCCESS)
        fail(rc);
    if (dataErrors > 0)
        throw ImagingError(ImagingError::Damaged,
                           "the camera raw file is damaged: its image data is incomplete");
    rc = raw->dcraw_process();
    if (rc != LIBRAW_SUCCESS)
        fail(rc);
    if (memoryErrors > 0)
        fail(LIBRAW_UNSUFFICIENT_MEMORY);

    int error = LIBRAW_SUCCESS;
    std::unique_ptr<libraw_processed_image_t, support::Release<LibRaw::dcraw_clear_mem>> image(
        raw->dcraw_make_mem_image(&error));
    if (!image)
        fail(error == LIBRAW_SUCCESS ? LIBRAW_DATA_ERROR : error);
    if (image->type != LIBRAW_IMAGE_BITMAP || image->bits != 8 ||
        (image->colors != 3 && image->colors != 1))
        throw ImagingError(ImagingError::Unsupported,
                           "the camera raw file develops into an unexpected kind of image");
    const std::size_t rowBytes = std::size_t(image->width) * image->colors;
    if (std::uint64_t(rowBytes) * image->height > image->data_size)
        fail(LIBRAW_DATA_ERROR);

    Bitmap b = Bitmap::create(image->width, image->height,
                              image->colors == 3 ? PixelFormat::Rgb24 : PixelFormat::Gray8, limits);
    for (int y = 0; y < b.height; ++y)
        std::memcpy(b.row(y), image->data + std::size_t(y) * rowBytes, rowBytes);
    return b;
}

} // namespace folimo::imaging
