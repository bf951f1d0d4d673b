// Test images made in memory, each byte decided by the arguments: JPEG through TurboJPEG
// and PNG through libpng, so they are what ordinary writers produce, plus helpers that
// splice JPEG segments and PNG chunks for unusual or damaged files. Every function is
// pure (no files, no shared state) and may be called from any thread; failures of the
// underlying libraries throw std::runtime_error.
//
// The pattern, the same at every size and format, so that a render can be checked at
// any pixel (x, y) of a width × height image:
//   red   rises from 0 at the left edge to full at the right edge,
//   green rises from 0 at the top edge to full at the bottom edge,
//   blue  is low in the top-left and bottom-right quadrants, high in the other two,
//   grey  (grey images) is (red + green) / 2, a diagonal gradient.
// At 16 bits the samples use the full precision (they are not 8-bit values × 257), so
// a reader that drops the low byte is caught. Palette images show blocks of colour
// instead, one block per palette entry (see makePng).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace folimo::test {

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    bool operator==(const Rgb&) const = default;
};

// The pattern's sample at (x, y) on a 16-bit scale; channel 0 red, 1 green, 2 blue,
// 3 grey.
std::uint16_t patternSample16(int x, int y, int width, int height, int channel);

// ---------------------------------------------------------------------------------------
// JPEG

enum class JpegColor { Gray, Rgb, Cmyk };

struct JpegParams {
    int width = 64;
    int height = 48;
    JpegColor color = JpegColor::Rgb;
    int quality = 95;
    bool progressive = false;
    bool subsample420 = false; // colour only; 4:4:4 otherwise, which keeps colours true
    // The JFIF density fields: unit 0 gives only the pixel ratio, 1 dots per inch,
    // 2 dots per centimetre. TurboJPEG writes unit 0 with 1:1.
    int densityUnit = 0;
    int densityX = 1;
    int densityY = 1;
    // Adds an APP14 "Adobe" segment to a grey or RGB image (transform 0 or 1, matching
    // what TurboJPEG encoded). A CMYK image always has one, whatever this says.
    bool adobeMarker = false;
};

// A JPEG of the pattern. Grey and RGB images start with TurboJPEG's JFIF APP0 segment.
//
// CMYK: TurboJPEG (tjCompress2 with TJPF_CMYK) writes a four-component YCCK file with
// an Adobe APP14 segment (transform 2) and no JFIF segment; decoding it gives back the
// very CMYK values that went in. makeJpeg stores them inverted, as Adobe's programs
// do (255 = no ink): C = 255 - red, M = 255 - green, Y = 255 - blue, K = 0 in ink
// terms, so a reader that honours the Adobe convention (a PDF with Decode
// [1 0 1 0 1 0 1 0]) shows the pattern, give or take its CMYK-to-RGB conversion.
// A JFIF segment is added to a CMYK image only when densityUnit is not 0.
std::string makeJpeg(const JpegParams& params);

// The colour the pattern had before compression at (x, y): grey for a grey image, the
// RGB colour whose simple inversion gave the inks for a CMYK one. JPEG is lossy, so
// compare with a tolerance (a few levels at quality 95 away from sharp edges).
Rgb expectedJpegRgb(const JpegParams& params, int x, int y);

// One marker segment: FF, marker, two length bytes, payload (at most 65533 bytes).
std::string jpegSegment(std::uint8_t marker, std::string_view payload);
// Inserts a segment right after SOI, or after the JFIF APP0 segment when the file
// starts with one (JFIF wants to come first).
std::string insertJpegSegment(std::string_view jpeg, std::uint8_t marker, std::string_view payload);
// Removes every segment with this marker before the first scan.
std::string removeJpegSegments(std::string_view jpeg, std::uint8_t marker);

// ---------------------------------------------------------------------------------------
// PNG

enum class PngColor { Gray = 0, Rgb = 2, Palette = 3, GrayAlpha = 4, RgbAlpha = 6 };

enum class PngAlpha {
    // No tRNS chunk; an alpha channel is fully opaque everywhere.
    None,
    // Grey/RGB: a tRNS key colour, painted over the top-left quadrant (the grey
    // gradient may hit the key elsewhere too). Palette: entry 0 fully transparent,
    // the others opaque. Alpha channel: 0 in the top-left quadrant, opaque elsewhere.
    Binary,
    // Palette: tRNS alphas rising from entry to entry (0 through 255, with values in
    // between). Alpha channel: rising from 0 at the top-left corner to full at the
    // bottom-right. Grey/RGB: as Binary, since tRNS cannot say more.
    Partial,
};

struct PngParams {
    int width = 64;
    int height = 48;
    PngColor color = PngColor::Rgb;
    int bitDepth = 8;
    bool interlaced = false;
    PngAlpha alpha = PngAlpha::None;
    // pHYs in pixels per metre; 0 writes no pHYs. pixelsPerMetreY 0 means the same as x.
    std::uint32_t pixelsPerMetre = 0;
    std::uint32_t pixelsPerMetreY = 0;
    // Written as an iCCP chunk when not empty. libpng refuses a profile whose colour
    // model does not fit the image; see makeIccProfile.
    std::string iccProfile{};
    // Upper bound of one IDAT chunk's data; 0 leaves libpng's 8 KiB. Small values give
    // many IDAT chunks.
    std::size_t idatSize = 0;
};

// A PNG of the pattern. Palette images have min(2^bitDepth, 256) entries: entry i has
// red i × 255 / (n - 1), green 255 - red, blue 220 for odd i and 30 for even i, and
// the image is a grid of ceil(sqrt(n)) × ceil(sqrt(n)) blocks numbered row by row,
// block k showing entry k mod n.
std::string makePng(const PngParams& params);

// The sample stored at (x, y), at the file's bit depth: for channel 0..2 of the colour
// (one channel for grey, the index for palette), channel 1 or 3 for alpha.
unsigned pngSample(const PngParams& params, int x, int y, int channel);
// What a correct reader shows at (x, y) as 8-bit RGB, before any transparency.
Rgb expectedPngRgb(const PngParams& params, int x, int y);
// The opacity at (x, y) as 0..255: from the alpha channel (16 bits rounded to 8), the
// palette's tRNS alpha, or 0 where a tRNS key colour matches and 255 elsewhere.
std::uint8_t expectedPngAlpha(const PngParams& params, int x, int y);
// The PLTE data (3 bytes an entry) and the tRNS data a palette image gets.
std::string pngPalette(const PngParams& params);
std::string pngPaletteAlphas(const PngParams& params);
// The tRNS key colour of a grey (one value) or RGB (three values) image.
std::vector<unsigned> pngKeyColor(const PngParams& params);

struct PngChunk {
    std::string type; // four letters
    std::string data;
    std::size_t offset = 0; // where the chunk starts in the file it was read from
};
// The chunks of a PNG in order (the signature is checked, CRCs are not). Throws on a
// chunk that runs past the end.
std::vector<PngChunk> splitPng(std::string_view png);
// Signature plus chunks, CRCs computed afresh; the inverse of splitPng.
std::string joinPng(const std::vector<PngChunk>& chunks);
// One chunk: length, type, data, CRC.
std::string pngChunk(std::string_view type, std::string_view data);
// Inserts a chunk right before the first IDAT (where tRNS, pHYs and iCCP belong).
std::string insertPngChunkBeforeData(std::string_view png, std::string_view type,
                                     std::string_view data);

// ---------------------------------------------------------------------------------------
// Other helpers

enum class IccModel { Gray, Rgb, Cmyk };
// A small, valid ICC v2 profile (lcms accepts it): grey (gamma 2.2) and RGB (sRGB
// primaries, gamma 2.2) display profiles, and a CMYK output-class profile (about
// 26 KB) whose A2B0 and B2A0 tables (9 points a channel) mix inks naively, so that the
// pattern's CMYK JPEG renders within a few levels of expectedJpegRgb. The colour
// model sits at bytes 16..19 ("GRAY", "RGB ", "CMYK"); the description tag carries
// `name`, so two profiles can differ.
std::string makeIccProfile(IccModel model, std::string_view name = "Folimo test");

// The bytes of a string as the planners take them; the string must outlive the span.
inline std::span<const std::uint8_t> bytesOf(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// To put a fixture on disk, use writeFile from TestSupport.h.

// A small camera raw file: a DNG with a Bayer (RGGB) mosaic, written with libtiff to
// `path` and returned; red, green, blue and grey quadrants in a camera whose colour
// space is linear sRGB.
std::string makeDng(const std::string& path, int width, int height);

} // namespace folimo::test
