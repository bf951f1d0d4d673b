#include "Codecs.h"

namespace folimo::imaging {

namespace {

// Exact names only: a caller that passes "image/jpg" or "image/JPEG" has a bug worth
// seeing rather than a guess that hides it.
enum class Encoder { None, Jpeg, Png, Gif, Tiff };

Encoder encoderFor(std::string_view mimeType) {
    if (mimeType == "image/jpeg")
        return Encoder::Jpeg;
    if (mimeType == "image/png")
        return Encoder::Png;
    if (mimeType == "image/gif")
        return Encoder::Gif;
    if (mimeType == "image/tiff")
        return Encoder::Tiff;
    return Encoder::None;
}

} // namespace

bool hasEncoder(std::string_view mimeType) {
    return encoderFor(mimeType) != Encoder::None;
}

std::string encode(const Bitmap& bitmap, std::string_view mimeType, int quality) {
    switch (encoderFor(mimeType)) {
    case Encoder::Jpeg:
        return encodeJpeg(bitmap, quality);
    case Encoder::Png:
        return encodePng(bitmap);
    case Encoder::Gif:
        return encodeGif(bitmap);
    case Encoder::Tiff:
        return encodeTiff(bitmap);
    case Encoder::None:
        break;
    }
    throw ImagingError(ImagingError::Unsupported,
                       "no encoder for \"" + std::string(mimeType) + "\"");
}

} // namespace folimo::imaging
