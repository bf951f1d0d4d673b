// Decoding and encoding of image files, each format on its reference library (our own
// readers only for BMP/DIB, ICO, PSD and MNG). Formats are recognised by content,
// never by file name. Every function is thread-safe and keeps no state between calls.
#pragma once

#include "Bitmap.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace folimo::imaging {

// Heif is HEIF with HEVC (HEIC, as phones write it) or of another codec; Avif is HEIF
// with AV1. Both decode through libheif.
enum class ImageFormat {
    Unknown,
    Bmp,
    Gif,
    Png,
    Jpeg,
    Tiff,
    WebP,
    Psd,
    Ico,
    Mng,
    Jbig,
    Raw,
    Heif,
    Avif
};

// By the first bytes of the file. Camera raw files are recognised by LibRaw.
ImageFormat detectFormat(std::span<const std::uint8_t> bytes);
const char* formatName(ImageFormat format); // "BMP", "JPEG", ...
// Why a file of `size` bytes, more than the memory allowed for one image, is not worth
// reading past its first bytes `head`; empty for JPEG, PNG and TIFF, whose ways stream
// what a whole picture could not hold.
std::string unreadReason(std::span<const std::uint8_t> head, std::uint64_t size);

// Decodes the first image of the file. Throws ImagingError with a message for users.
// CMYK and YCCK JPEG/TIFF become RGB (Adobe-inverted files are recognised); palette
// images stay indexed where the format has a palette; alpha is kept.
Bitmap decode(std::span<const std::uint8_t> bytes, const Limits& limits = {});
// The same for a caller that has detected the format already (detection can cost a
// camera-raw probe), and for page `page` (from 0) of a file that has several: only a
// TIFF has more than one (see tiffPageCount); an animation's later frames are not
// pages.
Bitmap decode(std::span<const std::uint8_t> bytes, ImageFormat format, const Limits& limits = {},
              int page = 0);
// The same picture as 8-bit grey (Gray8), upright as decode() turns it, for a reader of
// its text rather than of its colours. JPEG decodes its luminance alone, which skips
// the colour conversion and holds a third of the pixels; other formats are decoded
// whole and made grey as toGrey() does.
Bitmap decodeGrey(std::span<const std::uint8_t> bytes, ImageFormat format,
                  const Limits& limits = {}, int page = 0);

// What decode() would give as the picture's size (turned upright, as the decoder turns
// it) and resolution (0 when the file says none), read from the file's headers
// without decoding pixels, for a caller that may never need them. Throws ImagingError
// as decode() would for what the headers already show: no image, an unknown format,
// a size beyond `limits`. A file that passes can still fail to decode when its pixel
// data is damaged. Nothing when only decoding can tell (camera raw, whose size comes
// out of its development, and JBIG whose height is announced after the data starts).
struct PictureInfo {
    int width = 0;
    int height = 0;
    double dpiX = 0; // as Bitmap's
    double dpiY = 0;
    // The decoded picture's, where the headers tell; else 32, which every format of
    // eight-bit samples fits in.
    int bitsPerPixel = 32;
};
std::optional<PictureInfo> probe(std::span<const std::uint8_t> bytes, ImageFormat format,
                                 const Limits& limits = {}, int page = 0);
// The memory the decoded picture takes, at most. Ways that hold copies of it charge
// multiples of this before anything is decoded.
inline std::uint64_t pictureBytes(const PictureInfo& info) {
    return (std::uint64_t(std::max(info.width, 0)) * std::uint64_t(std::max(info.bitsPerPixel, 8)) +
            7) /
           8 * std::uint64_t(std::max(info.height, 0));
}

// Per-format probes, as probe() dispatches to them; each as cheap as reading the
// headers, whatever size they claim.
std::optional<PictureInfo> probeBmp(std::span<const std::uint8_t> bytes, const Limits& limits);
std::optional<PictureInfo> probeGif(std::span<const std::uint8_t> bytes, const Limits& limits);
std::optional<PictureInfo> probePng(std::span<const std::uint8_t> bytes, const Limits& limits);
std::optional<PictureInfo> probeJpeg(std::span<const std::uint8_t> bytes, const Limits& limits);
std::optional<PictureInfo> probeTiff(std::span<const std::uint8_t> bytes, const Limits& limits,
                                     int page = 0);
std::optional<PictureInfo> probeWebp(std::span<const std::uint8_t> bytes, const Limits& limits);
std::optional<PictureInfo> probePsd(std::span<const std::uint8_t> bytes, const Limits& limits);
std::optional<PictureInfo> probeIco(std::span<const std::uint8_t> bytes, const Limits& limits);
std::optional<PictureInfo> probeMng(std::span<const std::uint8_t> bytes, const Limits& limits);
std::optional<PictureInfo> probeJbig(std::span<const std::uint8_t> bytes, const Limits& limits);
std::optional<PictureInfo> probeHeif(std::span<const std::uint8_t> bytes, const Limits& limits);

// Per-format decoders, as decode() dispatches to them.
Bitmap decodeBmp(std::span<const std::uint8_t> bytes, const Limits& limits);
Bitmap decodeGif(std::span<const std::uint8_t> bytes, const Limits& limits);
Bitmap decodePng(std::span<const std::uint8_t> bytes, const Limits& limits);
Bitmap decodeJpeg(std::span<const std::uint8_t> bytes, const Limits& limits);
// Its luminance alone (Gray8); a CMYK file, which has none, as decodeJpeg gives it.
Bitmap decodeJpegGrey(std::span<const std::uint8_t> bytes, const Limits& limits);
// A PNG a band of rows at a time, for pictures too large to hold whole: onBand gets a
// bitmap whose first `rows` rows are the next of the picture (its palette, resolution
// and profile set), and the picture's height. False, with nothing decoded, for an
// interlaced file, whose passes each fill in part of every row.
// A TIFF page the same way, a strip or a row of tiles at a time. False, with nothing
// decoded, for a page that must be turned or that only libtiff's RGBA reader takes.
using TiffBands = std::function<void(const Bitmap& band, int rows, int height)>;
bool decodeTiffInBands(std::span<const std::uint8_t> bytes, int page, const TiffBands& onBand,
                       const Limits& limits = {});
bool decodePngInBands(std::span<const std::uint8_t> bytes, int bandRows,
                      const std::function<void(const Bitmap& band, int rows, int height)>& onBand,
                      const Limits& limits = {});
// A PNG file's own layout, for a writer that can carry its compressed image data as
// it stands (PDF), read from its chunks without inflating that data. Every chunk up to
// IEND must be whole, and a critical one's checksum right; chunks the layout does
// not name are skipped, as are ancillary chunks after the image data. Throws
// ImagingError.
struct PngLayout {
    int width = 0;
    int height = 0;
    int bitDepth = 0;  // as stored: 1, 2, 4, 8 or 16
    int colorType = 0; // PNG's: 0 grey, 2 RGB, 3 palette, 4 grey + alpha, 6 RGBA
    bool interlaced = false;
    std::span<const std::uint8_t> palette;                     // a palette image's RGB triples
    std::optional<std::span<const std::uint8_t>> transparency; // tRNS as stored
    double dpiX = 0;                                           // as Bitmap's
    double dpiY = 0;
    // The first iCCP chunk before the image data, as stored: only a writer that takes the
    // profile pays for inflating it (inflatePngProfile).
    std::optional<std::span<const std::uint8_t>> iccChunk;
    std::vector<std::string_view> imageData; // the IDAT chunks' data, views into the file
};
PngLayout readPngLayout(std::span<const std::uint8_t> bytes);
// The profile of an iCCP chunk; empty when it cannot be read, which costs only colour
// fidelity.
std::string inflatePngProfile(std::span<const std::uint8_t> iccChunk);

// A PNG's rows with their samples as the file stores them, for that same writer when
// the data cannot pass through: grey and palette indices below 8 bits stay packed,
// 16-bit samples come most significant byte first, and alpha comes apart from the
// colour, as 8-bit samples. With transparencyToAlpha, tRNS becomes alpha and a
// palette becomes RGB. The caller says what it expects, `channels` (alpha included)
// of `bitDepth` bits; a file that decodes otherwise is damaged. onRow gets the rows
// in order, with null for alpha when there is none; an interlaced picture is decoded
// whole first, within limits.maxBytes. Returns whether any alpha was below opaque.
// Throws ImagingError.
struct PngStoredRows {
    bool transparencyToAlpha = false;
    int channels = 0;
    int bitDepth = 0;
};
using PngRowSink = std::function<void(const std::uint8_t* colour, const std::uint8_t* alpha)>;
bool decodePngStoredRows(std::span<const std::uint8_t> bytes, const PngStoredRows& shape,
                         const PngRowSink& onRow, const Limits& limits = {});
Bitmap decodeTiff(std::span<const std::uint8_t> bytes, const Limits& limits, int page = 0);
Bitmap decodeWebp(std::span<const std::uint8_t> bytes, const Limits& limits);
Bitmap decodePsd(std::span<const std::uint8_t> bytes, const Limits& limits);
Bitmap decodeIco(std::span<const std::uint8_t> bytes, const Limits& limits);
Bitmap decodeMng(std::span<const std::uint8_t> bytes, const Limits& limits);
Bitmap decodeJbig(std::span<const std::uint8_t> bytes, const Limits& limits);
Bitmap decodeRaw(std::span<const std::uint8_t> bytes, const Limits& limits);
// HEIF and AVIF: the primary image, turned, mirrored and cropped as the file's
// properties say (an EXIF Orientation it also carries is not applied again); 8-bit
// files give Rgb24/Rgba32, deeper ones Rgb48/Rgba64.
Bitmap decodeHeif(std::span<const std::uint8_t> bytes, const Limits& limits);
// The size a HEIF or AVIF file gives its primary image as shown, read from its
// headers without decoding; {0, 0} when it cannot tell.
struct PictureSize {
    int width = 0;
    int height = 0;
};
PictureSize heifSize(std::span<const std::uint8_t> bytes);
// The size of a TIFF page from its directory; throws ImagingError.
PictureSize tiffPageSize(std::span<const std::uint8_t> bytes, int page);

// The pages (directories) of a TIFF, at most kMaxTiffPages. A chain of directories
// that ends in damage or loops back counts the first bad directory as one more page,
// so that loading that page reports the damage while the pages before it are kept.
// 0 when the file cannot be opened at all.
inline constexpr int kMaxTiffPages = 10000;
int tiffPageCount(std::span<const std::uint8_t> bytes);

// A bilevel TIFF page's CCITT data as it stands, for a writer that can carry it
// (PDF's CCITTFaxDecode). Given only where that is safe: Group 3 or 4 data in a
// single strip, upright, without uncompressed mode, that libtiff decodes without an
// error; anything else is for decode(). Stored least significant bit first, the
// data comes reversed into the usual order.
struct TiffFax {
    int width = 0;
    int height = 0;
    int k = -1;            // -1 Group 4, 0 Group 3 one-dimensional, > 0 Group 3 two-dimensional
    bool blackIs1 = false; // MinIsBlack: a 1 bit is black
    double dpiX = 0;       // as Bitmap's
    double dpiY = 0;
    std::string data;
};
std::optional<TiffFax> tiffFaxPage(std::span<const std::uint8_t> bytes, int page,
                                   const Limits& limits = {});

// Encoders, found by MIME type: "image/jpeg", "image/png", "image/gif", "image/tiff".
// quality (1..100) applies to JPEG only; 0 means the encoder's default (75). The
// bitmap's resolution is written when it has one. GIF reduces true colour to a
// 256-colour palette. Throws ImagingError.
std::string encode(const Bitmap& bitmap, std::string_view mimeType, int quality = 0);
bool hasEncoder(std::string_view mimeType);

// A JPEG file made again as JPEG at `quality` without a bitmap: what decoding and
// encoding would give, at a fraction of the work and memory. The DCT coefficients are
// requantised to the new tables when the chroma sampling stays, and full-resolution
// colour the encoder would halve is halved among them; other changes of sampling send
// the rows from decoder to encoder in YCbCr. `grey` keeps the luminance only; `dpi` other than
// 0 replaces the file's resolution (one not above 0 leaves the file without one, as
// for a bitmap). Gives an empty string when the file needs the way through a bitmap:
// CMYK or RGB-coded files, an EXIF turn, a picture larger than maxWidth x maxHeight
// (0: no limit), and anything libjpeg finds damaged.
struct JpegTranscode {
    int quality = 75; // as encodeJpeg takes it
    bool grey = false;
    int dpi = 0;
    int maxWidth = 0;
    int maxHeight = 0;
};
std::string transcodeJpeg(std::span<const std::uint8_t> bytes, const JpegTranscode& job);
// What transcodeJpeg will hold at its peak for this file and request, read from the header
// alone and deciding as transcodeJpeg does: every coefficient where it keeps them (packed,
// where that is worth it), a few rows where it streams them, and the output. 0 when it
// will decline the file (it may still decline one found damaged further on).
std::size_t transcodePeakBytes(std::span<const std::uint8_t> bytes, const JpegTranscode& job);
// Whether encodeJpeg subsamples the colour at this quality (4:2:0) or keeps it whole.
bool jpegSubsamplesColour(int quality);

std::string encodeJpeg(const Bitmap& bitmap, int quality);

// JPEG from rows that come a band at a time, for pictures too large to hold whole.
// `shape` gives the format, width, palette, resolution and profile of every band;
// `height` the picture's rows. Throws ImagingError.
class JpegEncoder {
public:
    JpegEncoder(const Bitmap& shape, int height, int quality);
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    void write(const Bitmap& rows, int count); // the next `count` rows, from rows.row(0)
    std::string finish();                      // after the last row

private:
    struct State;
    std::unique_ptr<State> state_;
    int height_ = 0;
    int written_ = 0;
};
std::string encodePng(const Bitmap& bitmap);
std::string encodeGif(const Bitmap& bitmap);
std::string encodeTiff(const Bitmap& bitmap);
// A black-and-white picture (isBlackAndWhite) as a TIFF of one strip coded CCITT
// Group 4, lossless and a fraction of any other coding of a scanned page, which a PDF
// carries as it stands (tiffFaxPage). Throws ImagingError.
std::string encodeFax(const Bitmap& bitmap);
// Group 4 data of tiffFaxPage as a TIFF of its own, coded as it stands, with the
// fax's resolution: a page of a larger file, or one given another resolution, passes
// into a PDF without being decoded and coded again. Throws ImagingError.
std::string wrapFax(const TiffFax& fax);

} // namespace folimo::imaging
