#include "ScanImage.h"

#include <png.h>
#include <tiffio.h>
#include <turbojpeg.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace folimo::scan {

namespace {

constexpr int kMarginPercent = 5;
constexpr int kDarkBelow = 128;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
struct TurboDestroyer {
    void operator()(void* handle) const { tjDestroy(handle); }
};
struct TurboFree {
    void operator()(unsigned char* bytes) const { tjFree(bytes); }
};

bool isDark(const ScanImage& image, const std::uint8_t* row, int x) {
    switch (image.kind) {
    case ScanImage::Kind::Bilevel:
        return (row[x / 8] & (0x80 >> (x % 8))) != 0;
    case ScanImage::Kind::Grey:
        return row[x] < kDarkBelow;
    case ScanImage::Kind::Rgb: {
        const std::uint8_t* p = row + 3 * static_cast<std::size_t>(x);
        return (299 * p[0] + 587 * p[1] + 114 * p[2]) / 1000 < kDarkBelow;
    }
    }
    return false;
}

// libpng reports errors by longjmp, which skips destructors: this function keeps no
// objects that have any.
bool writePng(std::FILE* file, const ScanImage& image) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr)
        return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    const bool rgb = image.kind == ScanImage::Kind::Rgb;
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
                 static_cast<png_uint_32>(image.height), 8,
                 rgb ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // pHYs counts pixels per metre.
    const auto perMetre = static_cast<png_uint_32>(std::lround(image.resolution / 0.0254));
    png_set_pHYs(png, info, perMetre, perMetre, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    for (int y = 0; y < image.height; ++y)
        png_write_row(png, image.pixels.data() + static_cast<std::size_t>(y) * image.stride);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool writeJpeg(std::FILE* file, const ScanImage& image, std::string& error) {
    // Quality 92: text edges and fine print stay clean at the resolutions documents are
    // scanned at, while a page takes a tenth to a quarter of its size as PNG.
    constexpr int kQuality = 92;
    std::unique_ptr<void, TurboDestroyer> handle(tjInitCompress());
    if (!handle) {
        error = "the JPEG encoder could not be started";
        return false;
    }
    const bool rgb = image.kind == ScanImage::Kind::Rgb;
    unsigned char* bytes = nullptr;
    unsigned long size = 0;
    const int status =
        tjCompress2(handle.get(), image.pixels.data(), image.width, static_cast<int>(image.stride),
                    image.height, rgb ? TJPF_RGB : TJPF_GRAY, &bytes, &size,
                    rgb ? TJSAMP_420 : TJSAMP_GRAY, kQuality, 0);
    std::unique_ptr<unsigned char, TurboFree> owned(bytes);
    if (status != 0) {
        error = tjGetErrorStr2(handle.get());
        return false;
    }
    // TurboJPEG writes a JFIF header with an aspect ratio only (units 0, density 1:1);
    // the resolution goes into its density fields, in dots per inch (units 1).
    if (size > 18 && std::memcmp(bytes + 6, "JFIF", 5) == 0) {
        bytes[13] = 1;
        bytes[14] = bytes[16] = static_cast<unsigned char>(image.resolution >> 8);
        bytes[15] = bytes[17] = static_cast<unsigned char>(image.resolution & 0xff);
    }
    if (std::fwrite(bytes, 1, size, file) != size) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

bool writeTiff(const std::string& path, const ScanImage& image, std::string& error) {
    std::unique_ptr<TIFF, TiffCloser> tiff(TIFFOpen(path.c_str(), "w"));
    if (!tiff) {
        error = "cannot create " + path;
        return false;
    }
    TIFF* t = tiff.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(image.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(image.height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    // SANE's 1 is black, which is what MINISWHITE means: the rows go in unchanged.
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(image.height));
    TIFFSetField(t, TIFFTAG_XRESOLUTION, static_cast<float>(image.resolution));
    TIFFSetField(t, TIFFTAG_YRESOLUTION, static_cast<float>(image.resolution));
    TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    std::vector<std::uint8_t> row(image.stride);
    for (int y = 0; y < image.height; ++y) {
        std::memcpy(row.data(), image.pixels.data() + static_cast<std::size_t>(y) * image.stride,
                    image.stride);
        if (TIFFWriteScanline(t, row.data(), static_cast<std::uint32_t>(y), 0) < 0) {
            error = "cannot write " + path;
            return false;
        }
    }
    if (TIFFFlush(t) != 1) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

const char* extensionOf(const std::string& format) {
    if (format == "tiff")
        return ".tif";
    if (format == "png")
        return ".png";
    return ".jpg";
}

// The highest NNN of the folder's `stem`-NNN.* files.
unsigned long highestNumber(const std::string& folder, const std::string& stem) {
    unsigned long highest = 0;
    std::error_code ec;
    const std::string prefix = stem + "-";
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::size_t end = prefix.size();
        while (end < name.size() && name[end] >= '0' && name[end] <= '9')
            ++end;
        if (end == prefix.size() || end - prefix.size() > 9 ||
            (end < name.size() && name[end] != '.'))
            continue;
        highest = std::max(highest, std::stoul(name.substr(prefix.size(), end - prefix.size())));
    }
    return highest;
}

std::string numbered(const std::string& stem, unsigned long number, const char* extension) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "-%03lu", number);
    return stem + digits + extension;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace

Colour ScanImage::colour() const {
    switch (kind) {
    case Kind::Bilevel:
        return Colour::BlackAndWhite;
    case Kind::Grey:
        return Colour::Grey;
    case Kind::Rgb:
        break;
    }
    return Colour::Colour;
}

int InkPermille(const ScanImage& image) {
    int x0 = image.width * kMarginPercent / 100, x1 = image.width - x0;
    int y0 = image.height * kMarginPercent / 100, y1 = image.height - y0;
    if (x1 <= x0 || y1 <= y0) {
        x0 = y0 = 0;
        x1 = image.width;
        y1 = image.height;
    }
    const auto area = static_cast<std::uint64_t>(x1 - x0) * static_cast<std::uint64_t>(y1 - y0);
    if (area == 0)
        return 0;
    std::uint64_t dark = 0;
    for (int y = y0; y < y1; ++y) {
        const std::uint8_t* row = image.pixels.data() + static_cast<std::size_t>(y) * image.stride;
        for (int x = x0; x < x1; ++x)
            dark += isDark(image, row, x) ? 1 : 0;
    }
    return static_cast<int>(dark * 1000 / area);
}

std::string SaveScannedPage(const ScanImage& image, const std::string& folder,
                            const std::string& stem, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        error = "cannot make the folder " + folder + ": " + ec.message();
        return {};
    }
    const std::string format = ScannedPageFormat(image.colour(), image.width, image.height);
    const char* extension = extensionOf(format);
    unsigned long number = highestNumber(folder, stem) + 1;
    const std::string temporary =
        folder + "/." + numbered(stem, number, extension) + "." + std::to_string(::getpid());

    bool written = false;
    if (format == "tiff") {
        written = writeTiff(temporary, image, error);
    } else {
        FilePtr file(std::fopen(temporary.c_str(), "wb"));
        if (!file) {
            error = "cannot create " + temporary + ": " + std::strerror(errno);
            return {};
        }
        written =
            format == "png" ? writePng(file.get(), image) : writeJpeg(file.get(), image, error);
        if (written && std::fflush(file.get()) != 0) {
            error = std::strerror(errno);
            written = false;
        }
        if (std::fclose(file.release()) != 0 && written) {
            error = std::strerror(errno);
            written = false;
        }
        if (!written && error.empty())
            error = "cannot write " + temporary;
    }
    if (!written) {
        std::remove(temporary.c_str());
        return {};
    }
    // A hard link fails when the name is taken, so a file that appeared meanwhile stays;
    // file systems without links (a FAT memory stick) take the rename after a look.
    for (;; ++number) {
        std::string path = folder + "/" + numbered(stem, number, extension);
        if (::link(temporary.c_str(), path.c_str()) == 0) {
            std::remove(temporary.c_str());
            return path;
        }
        if (errno == EEXIST)
            continue;
        if (!exists(path) && std::rename(temporary.c_str(), path.c_str()) == 0)
            return path;
        if (exists(path))
            continue;
        error = "cannot name " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return {};
    }
}

} // namespace folimo::scan
