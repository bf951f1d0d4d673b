// Whole-bitmap operations of the re-encoding path.
#pragma once

#include "Bitmap.h"

namespace folimo::imaging {

// A good-quality resize to exactly width x height (an area average when shrinking,
// so photographs do not alias; bilinear-smooth when enlarging). Indexed sources are
// expanded first. The result keeps alpha when the source has it, and the source's
// resolution fields.
Bitmap resize(const Bitmap& source, int width, int height, const Limits& limits = {});

// Whether the picture is black and white only: a palette picture whose pixels are all
// opaque black or opaque white (one bit a pixel, or a two-colour GIF). Such a page, a
// scan or a fax, is what CCITT coding (encodeFax) is made for.
bool isBlackAndWhite(const Bitmap& source);

// A black-and-white picture at exactly width x height that stays black and white: each
// pixel's footprint on the source is averaged, as resize does, and is black where ink
// covers more than three eighths of it. Sampling one source pixel per output pixel
// instead breaks strokes thinner than the step into dots or drops them by chance
// ("coded" read "cocec" at 1.6 : 1); at a threshold of one half, a stroke about one
// output pixel wide that falls across two of them vanishes. The result is Indexed1
// with white at index 0, black at 1, and the source's resolution fields.
Bitmap resizeBlackAndWhite(const Bitmap& source, int width, int height, const Limits& limits = {});

// An 8-bit grey copy, indexed with a grey ramp palette: grey = (29 B + 150 G + 77 R)
// >> 8 for colour pixels, the palette colour of each index for palette images, the
// sample itself for grey ones (16-bit: the high byte). Alpha is dropped.
Bitmap toGrey(const Bitmap& source);

// The picture as it is meant to be seen, for a TIFF/EXIF Orientation value: 1 row 0 at
// the top, column 0 at the left; 2-4 mirror that; 5-8 store the picture transposed
// (rows run down the picture), so width and height (and resolutions) change places.
// Other values give the bitmap back as it is.
Bitmap reorient(Bitmap source, int orientation, const Limits& limits = {});

// The picture turned clockwise by `quarterTurns` quarter turns (any integer, taken
// modulo 4; 1 puts the left edge at the top), with its resolutions following the axes.
// This is how a page found lying on its side is stood upright.
Bitmap turnClockwise(Bitmap source, int quarterTurns, const Limits& limits = {});

} // namespace folimo::imaging
