// HEIF (HEIC, as phones and cameras write it) and AVIF through libheif: the primary
// image of the file.
//
// Orientation: libheif carries out the file's transformative properties (clap crop,
// irot turn, imir mirror) while decoding, unless its options say to ignore them; ours
// say not to. A HEIF file may also hold the camera's EXIF block with an Orientation
// tag. HEIF readers must not go by it (the properties are what counts; a phone writes
// both, describing the same turn), so nothing here reads EXIF and no turn is applied
// twice.
//
// Depth: 8-bit images give Rgb24/Rgba32. Deeper ones (10 and 12 bits, common in AVIF)
// give Rgb48/Rgba64, their samples scaled to the full 16-bit range, so that a PNG or
// TIFF re-encoding keeps their precision; JPEG takes 8 bits from them as from any
// 16-bit bitmap. Grey (monochrome) images come out as RGB.
//
// Limits: libheif reads only the headers before it is asked to decode, so the primary
// image's size as shown is checked against ours before any pixel memory is taken; its
// own security limit on the side of an image is tightened to ours as well.
#include "Codecs.h"
#include "DecodeSupport.h"

#include <libheif/heif.h>

#include <algorithm>
#include <memory>
#include <string>

namespace folimo::imaging {
namespace {

using ContextPtr = std::unique_ptr<heif_context, support::Release<heif_context_free>>;
using HandlePtr =
    std::unique_ptr<const heif_image_handle, support::Release<heif_image_handle_release>>;
using ImagePtr = std::unique_ptr<const heif_image, support::Release<heif_image_release>>;
using OptionsPtr =
    std::unique_ptr<heif_decoding_options, support::Release<heif_decoding_options_free>>;

// libheif's own cap on either side of an image.
constexpr std::uint64_t kLibheifMaxSide = 32768;

// The words for a libheif failure. The message is libheif's, which names what it found
// ("Image size 40000x40000 exceeds the maximum image size ...").
[[noreturn]] void fail(const heif_error& error, const char* name) {
    const std::string detail = error.message && *error.message ? error.message : "no details";
    const std::string file = std::string("the ") + name + " file";
    switch (error.code) {
    case heif_error_Unsupported_filetype:
    case heif_error_Unsupported_feature:
        throw ImagingError(ImagingError::Unsupported,
                           file + " uses a feature that is not supported (" + detail + ")");
    case heif_error_Memory_allocation_error:
        throw ImagingError(ImagingError::TooLarge,
                           error.subcode == heif_suberror_Security_limit_exceeded
                               ? file + " is too large (" + detail + ")"
                               : std::string("not enough memory to decode the image"));
    case heif_error_Decoder_plugin_error:
        if (error.subcode == heif_suberror_Unsupported_codec)
            throw ImagingError(ImagingError::Unsupported,
                               file + " is compressed in a way no decoder here reads");
        throw ImagingError(ImagingError::Damaged,
                           file + " is damaged: its image data cannot be decoded (" + detail + ")");
    default:
        if (error.subcode == heif_suberror_End_of_data)
            throw ImagingError(ImagingError::Damaged, file + " is damaged: it ends too early");
        throw ImagingError(ImagingError::Damaged, file + " is damaged (" + detail + ")");
    }
}

void check(const heif_error& error, const char* name) {
    if (error.code != heif_error_Ok)
        fail(error, name);
}

ContextPtr readHeaders(std::span<const std::uint8_t> bytes, const Limits& limits,
                       const char* name) {
    ContextPtr context(heif_context_alloc());
    if (!context)
        throw ImagingError(ImagingError::TooLarge, "not enough memory to decode the image");
    // A side can be as long as the pixel limit allows with the other side one pixel.
    heif_context_set_maximum_image_size_limit(
        context.get(), int(std::min<std::uint64_t>(kLibheifMaxSide, limits.maxPixels)));
    // The bytes outlive the context: they are the caller's for the whole call.
    check(heif_context_read_from_memory_without_copy(context.get(), bytes.data(), bytes.size(),
                                                     nullptr),
          name);
    return context;
}

HandlePtr primaryImage(heif_context* context, const char* name) {
    heif_image_handle* handle = nullptr;
    check(heif_context_get_primary_image_handle(context, &handle), name);
    if (!handle)
        throw ImagingError(ImagingError::Damaged, std::string("the ") + name +
                                                      " file is damaged: it has no primary image");
    return HandlePtr(handle);
}

// A sample of a deep image, little-endian in libheif's interleaved planes and at most
// `max`, to the full 16-bit range.
std::uint16_t widen(const std::uint8_t* p, unsigned max) {
    const unsigned v = std::min<unsigned>(support::loadLe16(p), max);
    return std::uint16_t((v * 65535u + max / 2) / max);
}

// Colour stored multiplied by alpha, as the file said, back to straight colour.
void unpremultiply(Bitmap& b) {
    const bool deep = b.format == PixelFormat::Rgba64;
    for (int y = 0; y < b.height; ++y) {
        std::uint8_t* p = b.row(y);
        for (int x = 0; x < b.width; ++x) {
            if (deep) {
                std::uint8_t* px = p + 8 * std::size_t(x);
                const std::uint32_t a = detail::load16(px + 6);
                for (int c = 0; c < 3 && a != 0; ++c) {
                    const std::uint32_t v = detail::load16(px + 2 * c);
                    detail::store16(px + 2 * c, std::uint16_t(std::min<std::uint32_t>(
                                                    65535, (v * 65535 + a / 2) / a)));
                }
            } else {
                std::uint8_t* px = p + 4 * std::size_t(x);
                const unsigned a = px[3];
                for (int c = 0; c < 3 && a != 0; ++c)
                    px[c] = std::uint8_t(std::min(255u, (px[c] * 255u + a / 2) / a));
            }
        }
    }
}

struct Shown {
    int width = 0;
    int height = 0;
    bool alpha = false;
    bool deep = false;
};

// The size as shown (after clap and irot), checked before anything is decoded.
Shown checkShown(const heif_image_handle* handle, const Limits& limits) {
    Shown s;
    s.width = heif_image_handle_get_width(handle);
    s.height = heif_image_handle_get_height(handle);
    support::checkDimensions(std::uint64_t(std::max(s.width, 0)),
                             std::uint64_t(std::max(s.height, 0)), limits);
    s.alpha = heif_image_handle_has_alpha_channel(handle) != 0;
    s.deep = heif_image_handle_get_luma_bits_per_pixel(handle) > 8;
    const unsigned bytesPerPixel = (s.alpha ? 4 : 3) * (s.deep ? 2 : 1);
    if (std::uint64_t(s.width) * std::uint64_t(s.height) * bytesPerPixel > limits.maxBytes)
        throw ImagingError(ImagingError::TooLarge, "the image is too large (" +
                                                       std::to_string(s.width) + " x " +
                                                       std::to_string(s.height) + " pixels)");
    return s;
}

} // namespace

std::optional<PictureInfo> probeHeif(std::span<const std::uint8_t> bytes, const Limits& limits) {
    const char* name = support::heifBrand(bytes) == ImageFormat::Avif ? "AVIF" : "HEIF";
    ContextPtr context = readHeaders(bytes, limits, name);
    HandlePtr handle = primaryImage(context.get(), name);
    const Shown shown = checkShown(handle.get(), limits);
    // The decoder gives no resolution: HEIF keeps none outside EXIF, which it does not read.
    return PictureInfo{shown.width, shown.height, 0, 0};
}

Bitmap decodeHeif(std::span<const std::uint8_t> bytes, const Limits& limits) {
    const char* name = support::heifBrand(bytes) == ImageFormat::Avif ? "AVIF" : "HEIF";
    ContextPtr context = readHeaders(bytes, limits, name);
    HandlePtr handle = primaryImage(context.get(), name);

    const Shown shown = checkShown(handle.get(), limits);
    const bool alpha = shown.alpha;
    const bool deep = shown.deep;
    const unsigned bytesPerPixel = (alpha ? 4 : 3) * (deep ? 2 : 1);

    OptionsPtr options(heif_decoding_options_alloc());
    if (!options)
        throw ImagingError(ImagingError::TooLarge, "not enough memory to decode the image");
    options->ignore_transformations = 0; // turn, mirror and crop as the file says
    options->convert_hdr_to_8bit = 0;
    const heif_chroma chroma =
        deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
             : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* decoded = nullptr;
    const heif_error error =
        heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB, chroma, options.get());
    ImagePtr image(decoded);
    check(error, name);
    if (!image)
        fail(heif_error{heif_error_Decoder_plugin_error, heif_suberror_Unspecified, nullptr}, name);

    int stride = 0;
    const std::uint8_t* plane =
        heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    // What came out, which a damaged grid can make differ from what the headers said.
    const int outWidth = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int outHeight = heif_image_get_height(image.get(), heif_channel_interleaved);
    const int bits = heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved);
    if (!plane || outWidth <= 0 || outHeight <= 0 || stride <= 0 ||
        std::size_t(stride) < std::size_t(outWidth) * bytesPerPixel ||
        (deep && (bits < 1 || bits > 16)))
        throw ImagingError(ImagingError::Damaged,
                           std::string("the ") + name + " file is damaged: it decodes to no image");

    Bitmap b = Bitmap::create(outWidth, outHeight,
                              deep ? (alpha ? PixelFormat::Rgba64 : PixelFormat::Rgb48)
                                   : (alpha ? PixelFormat::Rgba32 : PixelFormat::Rgb24),
                              limits);
    const std::size_t rowBytes = std::size_t(outWidth) * bytesPerPixel;
    const unsigned max = deep ? (1u << bits) - 1 : 255;
    for (int y = 0; y < outHeight; ++y) {
        const std::uint8_t* src = plane + std::size_t(y) * std::size_t(stride);
        std::uint8_t* dst = b.row(y);
        if (!deep) {
            std::copy(src, src + rowBytes, dst);
            continue;
        }
        for (std::size_t i = 0; i < rowBytes; i += 2)
            detail::store16(dst + i, widen(src + i, max));
    }
    image.reset();
    if (alpha && heif_image_handle_is_premultiplied_alpha(handle.get()))
        unpremultiply(b);

    // Only an ICC profile travels: an 'nclx' colour description has already been used to
    // turn the YCbCr samples into RGB.
    if (const std::size_t size = heif_image_handle_get_raw_color_profile_size(handle.get());
        size > 0 && size <= (std::size_t(64) << 20)) {
        std::string profile(size, '\0');
        if (heif_image_handle_get_raw_color_profile(handle.get(), profile.data()).code ==
            heif_error_Ok)
            b.iccProfile = std::move(profile);
    }
    return b;
}

PictureSize heifSize(std::span<const std::uint8_t> bytes) {
    try {
        ContextPtr context = readHeaders(bytes, Limits{}, "HEIF");
        HandlePtr handle = primaryImage(context.get(), "HEIF");
        return {std::max(heif_image_handle_get_width(handle.get()), 0),
                std::max(heif_image_handle_get_height(handle.get()), 0)};
    } catch (const ImagingError&) {
        return {};
    }
}

} // namespace folimo::imaging
