#include "ReencodeJob.h"

#include "CGDIPLUSImage.h"
#include "base/ByteOrder.h"
#include "base/MappedFile.h"
#include "imaging/Codecs.h"
#include "imaging/JpegMarkers.h"
#include "imaging/Transform.h"

#include <folimo/WideText.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <malloc.h>
#include <mutex>
#include <new>
#include <optional>

namespace {

// Pictures are far larger decoded than in their files (a 20-megapixel photograph is
// 60 MB of pixels), so what bounds the memory of a conversion is how much is decoded
// at once, not how many images are being prepared. Every re-encoding takes its share
// of this budget before it reads its file and holds it, grown to what its way holds at
// its peak, until it is done; one that alone exceeds the budget runs when nothing else
// does. The budget is never more than one image may take, so a run stays within that.
class DecodeBudget {
public:
    explicit DecodeBudget(std::size_t bytes) : budget_(bytes) {}

    std::size_t budget() const { return budget_; }

    // From holding `from` (0: nothing) to holding `to`, and from decoding or not to
    // decoding or not: a share that holds only its file is not counted as decoding. A
    // share that cannot grow at once is given back while it waits: two that waited
    // holding theirs could wait for ever.
    void change(std::size_t from, std::size_t to, bool wasDecoding, bool decoding) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (from != 0 && to > from && inUse_ != from && inUse_ - from + to > budget_) {
                inUse_ -= from;
                holders_ -= wasDecoding ? 1 : 0;
                from = 0;
                wasDecoding = false;
                released_.notify_all();
            }
            if (from == 0 && to != 0)
                released_.wait(lock, [&] { return inUse_ == 0 || inUse_ + to <= budget_; });
            inUse_ = inUse_ - from + to;
            holders_ += (decoding ? 1 : 0) - (wasDecoding ? 1 : 0);
            mostHolders_ = std::max(mostHolders_, holders_);
        }
        if (to < from)
            released_.notify_all();
    }

    // The most shares decoding at once since the last call.
    int takeMostHolders() {
        std::lock_guard<std::mutex> lock(mutex_);
        const int most = mostHolders_;
        mostHolders_ = holders_;
        return most;
    }

private:
    const std::size_t budget_;
    std::mutex mutex_;
    std::condition_variable released_;
    std::size_t inUse_ = 0;
    int holders_ = 0;
    int mostHolders_ = 0;
};

// Made at first use: the budget of one image is known once the caller has set it.
DecodeBudget& decodeBudget() {
    static DecodeBudget budget(std::size_t(
        std::min<std::uint64_t>(std::uint64_t(96) << 20, folimo::imaging::Limits{}.maxBytes)));
    return budget;
}

std::size_t shareOf(std::uint64_t bytes) {
    return std::size_t(std::clamp<std::uint64_t>(bytes, 1u << 20, decodeBudget().budget()));
}

// What the way through pixels holds at its peak, from the picture's size as its headers
// claim it (see savePeakBytes); for JPEG with its DCT coefficients (all held at once by
// a progressive file), and a turned copy when the picture must be turned. A file whose
// headers do not tell counts as a multiple of its size.
std::uint64_t decodeCost(const ReencodeParams& p, std::span<const std::uint8_t> bytes,
                         folimo::imaging::ImageFormat format) {
    using namespace folimo::imaging;
    const bool shrinks =
        !(p.maxWidth == -1 && p.maxHeight == -1) && (p.maxWidth != 0 || p.maxHeight != 0);
    bool copy = p.grey || shrinks;
    std::uint64_t cost = 0;
    if (format == ImageFormat::Jpeg) {
        const JpegMarkers markers = readJpegMarkers(bytes);
        cost = markers.coefficientBytes;
        copy = copy || markers.orientation != 1;
    }
    std::optional<PictureInfo> info;
    try {
        if (format == ImageFormat::Heif || format == ImageFormat::Avif) {
            // Compressed far more than JPEG; libheif's RGB picture is a second copy.
            const PictureSize size = heifSize(bytes);
            info = PictureInfo{size.width, size.height};
            copy = true;
        } else if (!bytes.empty()) {
            info = probe(bytes, format, {}, p.page);
        }
    } catch (const ImagingError&) {
        // The pixel way says what is wrong, in its own words.
    }
    if (info)
        cost += savePeakBytes(*info, p.encoder, copy);
    return cost != 0 ? cost : std::uint64_t(bytes.size()) * 4;
}

// The size the settings' limits shrink a picture to (never enlarging it, keeping its
// shape); nothing when it keeps its size.
std::optional<folimo::imaging::PictureSize> shrunkSize(const ReencodeParams& p, int w, int h) {
    if (p.maxWidth == -1 && p.maxHeight == -1)
        return std::nullopt;
    if (!((p.maxWidth != 0 && p.maxWidth < w) || (p.maxHeight != 0 && p.maxHeight < h)))
        return std::nullopt;
    double fx = p.maxWidth > 0 ? double(w) / p.maxWidth : 1;
    double fy = p.maxHeight > 0 ? double(h) / p.maxHeight : 1;
    double f = fx > fy ? fx : fy;
    return folimo::imaging::PictureSize{static_cast<int>(w / f), static_cast<int>(h / f)};
}

// A black-and-white picture asked for as JPEG is coded as a fax (see reencode), which
// holds the picture at a bit a pixel, when it shrinks its grey average at a byte a
// pixel and the packed result, and the coded output twice over (as libtiff writes it
// and as handed over). A fax-coded file is often a twentieth of those bits, so its own
// size says little. 0 for what cannot be black and white, or where the header does
// not give the size.
std::uint64_t faxCost(const ReencodeParams& p, std::span<const std::uint8_t> bytes,
                      folimo::imaging::ImageFormat format) noexcept {
    using folimo::imaging::ImageFormat;
    if (p.encoder != 1 || format == ImageFormat::Jpeg || format == ImageFormat::Unknown)
        return 0;
    try {
        const auto info = folimo::imaging::probe(bytes, format, {}, p.page);
        if (!info)
            return 0;
        const std::uint64_t bits =
            (std::uint64_t(info->width) + 7) / 8 * std::uint64_t(info->height);
        std::uint64_t cost = bits * 3;
        if (const auto shrunk = shrunkSize(p, info->width, info->height))
            cost += std::uint64_t(shrunk->width) * std::uint64_t(shrunk->height) * 9 / 8;
        return cost;
    } catch (...) {
        return 0;
    }
}

// The encoded file in memory the caller frees with free().
bool handOver(const std::string& bytes, ReencodeResult& result) {
    if (bytes.empty() || bytes.size() > 0x7fffffff)
        return false;
    void* data = std::malloc(bytes.size());
    if (!data)
        return false;
    std::copy(bytes.begin(), bytes.end(), static_cast<char*>(data));
    result.data.reset(data);
    result.size = static_cast<int>(bytes.size());
    return true;
}

// JPEG to JPEG goes without a bitmap when the file allows it (see transcodeJpeg);
// anything it declines, damaged files included, goes the way through pixels, which
// reports the problem in its own words.
folimo::imaging::JpegTranscode transcodeRequest(const ReencodeParams& p) {
    folimo::imaging::JpegTranscode job;
    job.quality = p.quality;
    job.grey = p.grey != 0;
    job.dpi = p.dpi == -1 ? 0 : p.dpi;
    if (!(p.maxWidth == -1 && p.maxHeight == -1)) {
        job.maxWidth = p.maxWidth;
        job.maxHeight = p.maxHeight;
    }
    return job;
}

// What the transcoder will hold for the file; 0 when it is not tried or will decline.
std::size_t transcodeCost(const ReencodeParams& p, std::span<const std::uint8_t> file,
                          folimo::imaging::ImageFormat format) noexcept {
    if (p.encoder != 1 || format != folimo::imaging::ImageFormat::Jpeg)
        return 0;
    try {
        return folimo::imaging::transcodePeakBytes(file, transcodeRequest(p));
    } catch (...) {
        return 0;
    }
}

bool transcoded(const ReencodeParams& p, std::span<const std::uint8_t> file,
                ReencodeResult& result) noexcept {
    try {
        return handOver(folimo::imaging::transcodeJpeg(file, transcodeRequest(p)), result);
    } catch (...) {
        return false;
    }
}

// Thrown by the first band of a picture that is black and white only.
struct BlackAndWhite {};

// A PNG or TIFF too large to decode whole within the memory budget goes to JPEG a band
// of rows at a time, where nothing needs the whole picture: the size stays and colour
// stays. Anything else (interlaced PNGs, turned TIFF pages) goes the way through
// pixels, which refuses what is beyond the budget with the reason.
bool reencodedInBands(const ReencodeParams& p, std::span<const std::uint8_t> file,
                      folimo::imaging::ImageFormat format, ReencodeResult& result) noexcept {
    using namespace folimo::imaging;
    if (p.encoder != 1 || p.grey || (format != ImageFormat::Png && format != ImageFormat::Tiff))
        return false;
    try {
        PictureSize size;
        if (format == ImageFormat::Tiff)
            size = tiffPageSize(file, p.page);
        else if (file.size() >= 24)
            size = {int(folimo::base::loadBe32(file.data() + 16) & 0x7FFFFFFF),
                    int(folimo::base::loadBe32(file.data() + 20) & 0x7FFFFFFF)};
        constexpr int kJpegMaxSide = 65500;
        if (file.size() + savePeakBytes({size.width, size.height}, p.encoder, false) <=
                Limits{}.maxBytes ||
            size.width > kJpegMaxSide || size.height > kJpegMaxSide)
            return false;
        if (const auto shrunk = shrunkSize(p, size.width, size.height);
            shrunk && (shrunk->width != size.width || shrunk->height != size.height))
            return false;
        std::optional<JpegEncoder> encoder;
        const auto onBand = [&](const Bitmap& band, int rows, int total) {
            if (!encoder) {
                // At a bit a pixel it fits whole, and goes in as a fax.
                if (isBlackAndWhite(band))
                    throw BlackAndWhite{};
                Bitmap shape;
                shape.width = band.width;
                shape.format = band.format;
                shape.palette = band.palette;
                shape.iccProfile = band.iccProfile;
                shape.dpiX = band.dpiX;
                shape.dpiY = band.dpiY;
                if (p.dpi != 0 && p.dpi != -1)
                    shape.dpiX = shape.dpiY = p.dpi;
                encoder.emplace(shape, total, p.quality);
            }
            encoder->write(band, rows);
        };
        const bool read = format == ImageFormat::Tiff ? decodeTiffInBands(file, p.page, onBand)
                                                      : decodePngInBands(file, 64, onBand);
        return read && encoder && handOver(encoder->finish(), result);
    } catch (const BlackAndWhite&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const folimo::imaging::ImagingError& e) {
        // A band beyond the budget (one strip holding the whole picture) leaves the
        // refusal to the pixel way, which speaks of the whole picture.
        if (e.kind() == folimo::imaging::ImagingError::TooLarge)
            return false;
        result.error = e.what();
        return true;
    } catch (const std::exception& e) {
        // The file's own fault, found on the way: the pixel way would find it too, but
        // only after trying to hold the whole picture.
        result.error = e.what();
        return true;
    }
}

// A Group 4 TIFF page asked for as JPEG that keeps its size keeps its coding as it
// stands, with the settings' resolution where they give one. Group 3 and pages in
// several strips are coded anew as Group 4, which is smaller.
bool faxPassedThrough(const ReencodeParams& p, std::span<const std::uint8_t> file,
                      folimo::imaging::ImageFormat format, ReencodeResult& result) noexcept {
    if (p.encoder != 1 || format != folimo::imaging::ImageFormat::Tiff)
        return false;
    try {
        auto fax = folimo::imaging::tiffFaxPage(file, p.page);
        if (!fax || fax->k != -1 || shrunkSize(p, fax->width, fax->height))
            return false;
        if (p.dpi != 0 && p.dpi != -1)
            fax->dpiX = fax->dpiY = p.dpi;
        return handOver(folimo::imaging::wrapFax(*fax), result);
    } catch (...) {
        // The way through pixels says what is wrong with the page.
        return false;
    }
}

} // namespace

BudgetShare::BudgetShare(std::uint64_t fileBytes) : bytes_(shareOf(fileBytes)) {
    decodeBudget().change(0, bytes_, false, false);
}

BudgetShare::~BudgetShare() {
    decodeBudget().change(bytes_, 0, decoding_, false);
}

void BudgetShare::decode(std::uint64_t bytes) {
    const std::size_t share = shareOf(bytes);
    decodeBudget().change(bytes_, share, decoding_, true);
    // A picture that needs most of the budget is where the heap would grow past it:
    // what earlier pictures freed goes back to the system first, unless it is reused.
    if (share > bytes_ && share >= decodeBudget().budget() / 2)
        malloc_trim(0);
    bytes_ = share;
    decoding_ = true;
}

int reencodeMostAtOnce() {
    return decodeBudget().takeMostHolders();
}

ReencodeResult reencode(const ReencodeParams& p) noexcept {
    using namespace folimo::imaging;
    ReencodeResult result;
    // The file is read and recognised once, for the cost, the transcoder and the decoder,
    // under a share of the budget taken before it is read: holding the file is part of
    // every way's peak.
    std::error_code unknown;
    const std::uintmax_t fileSize = std::filesystem::file_size(folimo::toUtf8(p.path), unknown);
    BudgetShare share(unknown ? 0 : fileSize);
    std::optional<folimo::pdf::MappedFile> file;
    try {
        file.emplace(folimo::toUtf8(p.path), Limits{}.maxBytes, unreadReason);
    } catch (...) {
        // Load below says what is wrong with the file, in its own words.
    }
    std::span<const std::uint8_t> bytes;
    auto format = ImageFormat::Unknown;
    if (file) {
        bytes = file->bytes();
        format = detectFormat(bytes);
        if (format == ImageFormat::Tiff)
            result.pageCount = tiffPageCount(bytes);
    }
    // The transcoder often holds far less than the pixels would (a few rows where it
    // streams), so its share is first made what it holds, then what the pixels would.
    if (const std::size_t peak = file ? transcodeCost(p, bytes, format) : 0) {
        share.decode(bytes.size() + peak);
        if (transcoded(p, bytes, result))
            return result;
    }
    share.decode(bytes.size() + std::max(decodeCost(p, bytes, format), faxCost(p, bytes, format)));
    if (file &&
        (faxPassedThrough(p, bytes, format, result) || reencodedInBands(p, bytes, format, result)))
        return result;
    auto* created = new (std::nothrow) CGDIPLUSImage;
    if (!created) {
        result.error = "out of memory";
        return result;
    }
    struct Release {
        void operator()(CGDIPLUSImage* image) const { image->Release(); }
    };
    std::unique_ptr<CGDIPLUSImage, Release> image(created);
    const int loaded = file ? image->Load(bytes, format, p.page) : image->Load(p.path.c_str());
    if (loaded != 0) {
        result.error = image->LastError();
        return result;
    }
    // Black and white never goes to JPEG, which blurs it and makes it many times the
    // size: it goes in as a fax, losslessly, and stays black and white when it shrinks.
    const bool fax = p.encoder == 1 && image->IsBlackAndWhite();
    if (p.grey)
        image->SetGrayscale();
    int w = 0, h = 0;
    image->GetSize(&w, &h);
    if (const auto shrunk = shrunkSize(p, w, h)) {
        w = shrunk->width;
        h = shrunk->height;
        image->SetTargetSize(w, h);
    }
    if (p.dpi != 0 && p.dpi != -1)
        image->SetResolution(p.dpi);
    // JPEG ends at 65,500 pixels a side: a longer banner goes in losslessly rather than
    // not at all.
    constexpr int kJpegMaxSide = 65500;
    const int encoder = p.encoder == 1 && (w > kJpegMaxSide || h > kJpegMaxSide) ? 2 : p.encoder;
    if (encoder == 1)
        image->SetQuality(p.quality);
    void* data = nullptr;
    result.size = fax ? image->SaveAsFax(&data) : image->SaveToMemory(&data, encoder, L"");
    result.data.reset(data);
    if (result.size == 0)
        result.error = image->LastError();
    return result;
}
