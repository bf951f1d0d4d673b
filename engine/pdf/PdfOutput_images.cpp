// Images: planned from their file (or a virtual file), written as image XObjects at
// once, and placed upright whatever orientation their file records.
#include "PdfOutput.h"

#include "Deflate.h"
#include "ImagePlan.h"
#include "OptionList.h"
#include "PdfSyntax.h"
#include "PdfWriter.h"
#include "base/MappedFile.h"
#include "imaging/Codecs.h"

#include <folimo/WideText.h>

#include <cmath>

namespace folimo::pdf {

namespace {

std::string colorSpaceObject(PdfWriter& w, const ColorSpacePlan& cs) {
    std::string base = cs.device;
    if (!cs.icc.empty()) {
        int n = cs.device == "/DeviceGray" ? 1 : cs.device == "/DeviceCMYK" ? 4 : 3;
        int icc = w.newObjectNumber();
        std::string compressed = deflateBytes(cs.icc);
        w.writeStreamObject(
            icc, "/N " + std::to_string(n) + " /Alternate " + cs.device + " /Filter /FlateDecode",
            compressed);
        base = "[/ICCBased " + std::to_string(icc) + " 0 R]";
    }
    if (cs.palette.empty())
        return base;
    int components = cs.device == "/DeviceGray" ? 1 : cs.device == "/DeviceCMYK" ? 4 : 3;
    auto entries = static_cast<int>(cs.palette.size()) / components;
    return "[/Indexed " + base + " " + std::to_string(entries - 1) + " " +
           pdfHexString(cs.palette) + "]";
}

std::string imageDictionary(PdfWriter& w, const ImageStreamPlan& p) {
    std::string d = "/Type /XObject /Subtype /Image /Width " + std::to_string(p.width) +
                    " /Height " + std::to_string(p.height) + " /BitsPerComponent " +
                    std::to_string(p.bitsPerComponent) + " /ColorSpace " +
                    colorSpaceObject(w, p.colorSpace);
    if (!p.filter.empty())
        d += " /Filter " + p.filter;
    if (!p.decodeParms.empty())
        d += " /DecodeParms " + p.decodeParms;
    if (!p.decode.empty())
        d += " /Decode " + p.decode;
    if (!p.colorKeyMask.empty())
        d += " /Mask " + p.colorKeyMask;
    return d;
}

// JPEG and PNG data go in as they stand where they can; GIF, TIFF and BMP are decoded
// by the imaging service, except TIFF fax pages. Other formats are for the re-encoding
// path. Only a TIFF has pages after the first (from 0).
ImagePlan planAnyImage(std::span<const std::uint8_t> bytes, imaging::ImageFormat format, int page) {
    if (page != 0 && format != imaging::ImageFormat::Tiff)
        throw ImageError("the image has only one page");
    switch (format) {
    case imaging::ImageFormat::Jpeg:
    case imaging::ImageFormat::Png:
        return planImage(bytes);
    case imaging::ImageFormat::Tiff:
        return planTiff(bytes, page);
    case imaging::ImageFormat::Gif:
    case imaging::ImageFormat::Bmp:
        return planDecoded(bytes, format);
    case imaging::ImageFormat::Unknown:
        throw ImageError("not an image file in a known format");
    default:
        throw ImageError(std::string(imaging::formatName(format)) +
                         " images must be re-encoded to go into a PDF");
    }
}

int writeImage(PdfWriter& w, const ImagePlan& plan) {
    std::string extra;
    if (plan.softMask) {
        int mask = w.newObjectNumber();
        w.writeStreamObject(mask, imageDictionary(w, *plan.softMask), plan.softMask->data);
        extra = " /SMask " + std::to_string(mask) + " 0 R";
    }
    int object = w.newObjectNumber();
    std::string dict = imageDictionary(w, plan.image) + extra;
    w.writeStreamObject(object, dict, plan.image.data);
    return object;
}

} // namespace

int PdfOutput::load_image(std::wstring_view imagetype, std::wstring_view filename,
                          std::wstring_view optlist) {
    OptionList options(optlist);
    options.allowOnly({"page"}, "load_image");
    requireDocument("load_image");
    std::string type = lowerAscii(toUtf8(imagetype));
    if (type != "auto" && type != "jpeg" && type != "png")
        return fail("load_image", "unsupported image type '" + type + "'", kErrImage);
    std::string name = toUtf8(filename);
    int page = 1;
    if (options.has("page")) {
        double n = options.numbers("page", {1})[0];
        if (!(n >= 1 && n <= imaging::kMaxTiffPages) || n != std::floor(n))
            throw PdfError(kErrOption, "load_image", "the page must be a whole number from 1");
        page = int(n);
    }
    // Messages name the page only where the file has several.
    const std::string what = page == 1
                                 ? "the image '" + name + "'"
                                 : "page " + std::to_string(page) + " of the image '" + name + "'";
    try {
        std::unique_ptr<MappedFile> file;
        std::span<const std::uint8_t> bytes;
        if (auto pvf = pvf_.find(name); pvf != pvf_.end()) {
            bytes = {static_cast<const std::uint8_t*>(pvf->second.first), pvf->second.second};
        } else {
            file = std::make_unique<MappedFile>(name, imaging::Limits{}.maxBytes,
                                                imaging::unreadReason);
            bytes = file->bytes();
        }
        const imaging::ImageFormat format = imaging::detectFormat(bytes);
        ImagePlan plan = planAnyImage(bytes, format, page - 1);
        if (type != "auto" && type != plan.format)
            return fail("load_image", "'" + name + "' is not a " + type + " image", kErrImage);
        Image image;
        image.pages = format == imaging::ImageFormat::Tiff ? imaging::tiffPageCount(bytes) : 1;
        image.object = writeImage(*writer_, plan);
        bool quarter = plan.orientation >= 5;
        image.width = quarter ? plan.image.height : plan.image.width;
        image.height = quarter ? plan.image.width : plan.image.height;
        image.resx = quarter ? plan.resy : plan.resx;
        image.resy = quarter ? plan.resx : plan.resy;
        image.orientation = plan.orientation;
        int handle = nextHandle_++;
        images_[handle] = image;
        return handle;
    } catch (const ImageError& e) {
        return fail("load_image", "cannot use " + what + ": " + e.what(), kErrImage);
    } catch (const imaging::ImagingError& e) {
        return fail("load_image", "cannot use " + what + ": " + e.what(), kErrImage);
    } catch (const PdfError& e) {
        if (e.number() == kErrIo || e.number() == kErrInternal)
            throw;
        return fail("load_image", e.what(), e.number());
    }
}

const PdfOutput::Image& PdfOutput::image(int handle, const char* api) const {
    auto it = images_.find(handle);
    if (it == images_.end())
        throw PdfError(kErrHandle, api, "no image has the handle " + std::to_string(handle));
    return it->second;
}

double PdfOutput::info_image(int handle, std::wstring_view keyword, std::wstring_view optlist) {
    OptionList(optlist).allowOnly({}, "info_image");
    const Image& img = image(handle, "info_image");
    std::string key = lowerAscii(toUtf8(keyword));
    if (key == "resx")
        return img.resx;
    if (key == "resy")
        return img.resy;
    if (key == "imagewidth")
        return img.width;
    if (key == "imageheight")
        return img.height;
    if (key == "pagecount")
        return img.pages;
    if (key == "width")
        return img.resx > 0 ? img.width * 72.0 / img.resx : img.width;
    if (key == "height")
        return img.resy > 0 ? img.height * 72.0 / img.resy : img.height;
    throw PdfError(kErrOption, "info_image", "unknown keyword '" + key + "'");
}

void PdfOutput::fit_image(int handle, double x, double y, std::wstring_view optlist) {
    const Image& img = image(handle, "fit_image");
    // The natural size: one point per pixel without a resolution.
    double w = img.resx > 0 ? img.width * 72.0 / img.resx : img.width;
    double h = img.resy > 0 ? img.height * 72.0 / img.resy : img.height;
    if (OptionList(optlist).has("adjustpage"))
        throw PdfError(kErrOption, "fit_image", "adjustpage is for imported pages");
    // Maps the stored picture's unit square onto the upright picture's, for each EXIF
    // orientation (2 to 8; 1 is upright).
    static constexpr Matrix kOrientations[9] = {
        {1, 0, 0, 1, 0, 0},   {1, 0, 0, 1, 0, 0},  {-1, 0, 0, 1, 1, 0},
        {-1, 0, 0, -1, 1, 1}, {1, 0, 0, -1, 0, 1}, {0, -1, -1, 0, 1, 1},
        {0, -1, 1, 0, 0, 1},  {0, 1, 1, 0, 0, 0},  {0, 1, -1, 0, 1, 0}};
    // Then the upright picture's onto itself turned 0 to 3 quarters clockwise.
    static constexpr Matrix kTurns[4] = {
        {1, 0, 0, 1, 0, 0}, {0, -1, 1, 0, 0, 1}, {-1, 0, 0, -1, 1, 1}, {0, 1, -1, 0, 1, 0}};
    int o = img.orientation >= 1 && img.orientation <= 8 ? img.orientation : 1;
    const Matrix inner = multiply(kOrientations[o], kTurns[img.turns & 3]);
    const std::string innerCm =
        inner == Matrix{1, 0, 0, 1, 0, 0} ? std::string() : matrixOperator(inner) + " ";
    const Matrix placed = placeObject(w, h, 1, 1, x, y, optlist, "Im" + std::to_string(img.object),
                                      img.object, "fit_image", innerCm);
    Image& changed = images_.at(handle);
    changed.matrix = placed;
    changed.placed = true;
}

void PdfOutput::turn_image(int handle, int quarterTurns) {
    image(handle, "turn_image");
    Image& img = images_.at(handle);
    const int turns = ((quarterTurns % 4) + 4) % 4;
    // Sizes follow the picture as shown, as they do for its own orientation.
    if (turns % 2 == 1) {
        std::swap(img.width, img.height);
        std::swap(img.resx, img.resy);
    }
    img.turns = (img.turns + turns) % 4;
}

std::array<double, 6> PdfOutput::image_matrix(int handle) const {
    const Image& img = image(handle, "image_matrix");
    if (!img.placed)
        throw PdfError(kErrScope, "image_matrix",
                       "the image " + std::to_string(handle) + " was not placed yet");
    return img.matrix;
}

void PdfOutput::close_image(int handle) {
    image(handle, "close_image");
    images_.erase(handle);
}

void PdfOutput::create_pvf(std::wstring_view filename, const void* data, std::size_t size,
                           std::wstring_view optlist) {
    OptionList(optlist).allowOnly({}, "create_pvf");
    std::string name = toUtf8(filename);
    if (pvf_.count(name))
        throw PdfError(kErrOption, "create_pvf", "the virtual file '" + name + "' exists");
    pvf_[name] = {data, size};
}

int PdfOutput::delete_pvf(std::wstring_view filename) {
    return pvf_.erase(toUtf8(filename)) ? 1 : -1;
}

} // namespace folimo::pdf
