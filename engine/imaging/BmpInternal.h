// Private to the BMP and ICO readers: an icon's image is a DIB with a transparency mask,
// and the icon reader needs the DIB reader for it.
#pragma once

#include "imaging/Bitmap.h"
#include "imaging/Codecs.h"

#include <cstdint>
#include <span>

namespace folimo::imaging::detail {

// An icon or cursor image stored as a DIB: the header (no file header before it) counts
// twice the icon's height, the colour bitmap followed by a 1-bit AND mask. Mask bits
// that are set make pixels transparent, unless a 32-bit image carries alpha of its own
// (some pixel with non-zero alpha). Any transparency makes the result Rgba32; otherwise
// it keeps the DIB's format (indexed or Rgb24).
Bitmap decodeIconDib(std::span<const std::uint8_t> dib, const Limits& limits);
// Its size and resolution as decodeIconDib would give them, from the header alone.
PictureInfo probeIconDib(std::span<const std::uint8_t> dib, const Limits& limits);

// An Rgba32 copy of an Indexed1/4/8, Gray8, Rgb24 or Rgba32 bitmap (palette alpha
// kept), with the source's resolution and profile.
Bitmap expandToRgba32(const Bitmap& source, const Limits& limits);

} // namespace folimo::imaging::detail
