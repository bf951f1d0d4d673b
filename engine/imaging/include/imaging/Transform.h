// Whole-bitmap operations of the re-encoding path.
#pragma once

#include "Bitmap.h"

namespace folimo::imaging {

// A good-quality resize to exactly width x height (an area average when shrinking,
// so photographs do not alias; bilinear-smooth when enlarging). Indexed sources are
// expanded first. The result keeps alpha when the source has it, and the source's
// resolution fields.
Bitmap resize(const Bitmap& source, int width, int height, const Limits& limits = {});

// An 8-bit grey copy, indexed with a grey ramp palette: grey = (29 B + 150 G + 77 R)
// >> 8 for colour pixels, the palette colour of each index for palette images, the
// sample itself for grey ones (16-bit: the high byte). Alpha is dropped.
Bitmap toGrey(const Bitmap& source);

// The picture as it is meant to be seen, for a TIFF/EXIF Orientation value: 1 row 0 at
// the top, column 0 at the left; 2-4 mirror that; 5-8 store the picture transposed
// (rows run down the picture), so width and height (and resolutions) change places.
// Other values give the bitmap back as it is.
Bitmap reorient(Bitmap source, int orientation, const Limits& limits = {});

} // namespace folimo::imaging
