#include "PdfOutput.h"

#include "Deflate.h"
#include "ImagePlan.h"
#include "OptionList.h"
#include "PdfFont.h"
#include "PdfImport.h"
#include "PdfSyntax.h"
#include "PdfWriter.h"
#include "base/MappedFile.h"
#include "imaging/Codecs.h"

#include <folimo/OutputName.h>
#include <folimo/WideText.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace folimo::pdf {

namespace {

// Page-tree nodes hold this many kids, so a viewer finds any page of a long
// document in a few steps.
constexpr std::size_t kPagesPerNode = 32;

std::string num(double v) {
    return pdfReal(v);
}

// The name under which an open file can be linked into a folder.
// How many numbered names a finished document tries before it gives up: far more than
// runs of the same name ever meet at once.
constexpr unsigned long kMaxNumberedNames = 10000;

std::string procLink(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// The largest page side most viewers accept, in units.
constexpr double kMaxPageUnits = 14400;

std::string lower(std::string s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string directoryOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// D:YYYYMMDDHHmmSS+HH'mm'. SOURCE_DATE_EPOCH, when set, fixes the date (in UTC) so
// that the same inputs give the same bytes.
std::string pdfDate(bool* reproducible) {
    std::time_t now = std::time(nullptr);
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    *reproducible = epoch && *epoch;
    std::tm tm{};
    char buf[64];
    if (*reproducible) {
        now = static_cast<std::time_t>(std::strtoll(epoch, nullptr, 10));
        gmtime_r(&now, &tm);
        std::strftime(buf, sizeof buf, "D:%Y%m%d%H%M%SZ", &tm);
        return buf;
    }
    localtime_r(&now, &tm);
    std::strftime(buf, sizeof buf, "D:%Y%m%d%H%M%S", &tm);
    long off = tm.tm_gmtoff / 60;
    char zone[32];
    std::snprintf(zone, sizeof zone, "%c%02ld'%02ld'", off < 0 ? '-' : '+', std::labs(off) / 60,
                  std::labs(off) % 60);
    return std::string(buf) + zone;
}

std::string fileId(const std::string& path, const std::string& date, bool reproducible) {
    // Not a security token: two 64-bit FNV-1a hashes over what makes this file unique.
    std::string seed = path + '\n' + date;
    if (!reproducible)
        seed += '\n' + std::to_string(::getpid()) + '\n' +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    auto fnv = [](const std::string& s, std::uint64_t h) {
        for (unsigned char c : s) {
            h ^= c;
            h *= 1099511628211ull;
        }
        return h;
    };
    char buf[40];
    std::snprintf(buf, sizeof buf, "%016llX%016llX",
                  static_cast<unsigned long long>(fnv(seed, 14695981039346656037ull)),
                  static_cast<unsigned long long>(fnv(seed + "#", 0x84222325cbf29ce4ull)));
    return buf;
}

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
        return planBitmap(imaging::decode(bytes, format));
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

PdfOutput::PdfOutput() = default;

PdfOutput::~PdfOutput() {
    discardDocument();
}

void PdfOutput::discardDocument() noexcept {
    page_.reset();
    fonts_.clear();
    fontHandles_.clear();
    gstates_.clear();
    gstateHandles_.clear();
    writer_.reset();
    if (unnamedFd_ >= 0)
        ::close(unnamedFd_);
    unnamedFd_ = -1;
    if (!tempPath_.empty())
        ::unlink(tempPath_.c_str());
    tempPath_.clear();
    finalPath_.clear();
}

int PdfOutput::fail(const char* api, const std::string& message, int number) {
    errmsg_ = message;
    if (returnErrors_)
        return -1;
    throw PdfError(number, api, message);
}

void PdfOutput::requireDocument(const char* api) const {
    if (!writer_)
        throw PdfError(kErrScope, api, std::string(api) + " needs an open document");
}

PdfOutput::Page& PdfOutput::requirePage(const char* api) {
    if (!page_)
        throw PdfError(kErrScope, api, std::string(api) + " needs an open page");
    return *page_;
}

std::wstring PdfOutput::get_errmsg() const {
    return fromUtf8(errmsg_);
}

void PdfOutput::set_option(std::wstring_view optlist) {
    OptionList options(optlist);
    options.allowOnly({"errorpolicy"}, "set_option");
    if (options.has("errorpolicy")) {
        std::string policy = lower(options.text("errorpolicy"));
        if (policy != "return" && policy != "exception")
            throw PdfError(kErrOption, "set_option", "unknown errorpolicy '" + policy + "'");
        returnErrors_ = policy == "return";
    }
}

void PdfOutput::set_parameter(std::wstring_view key, std::wstring_view value) {
    std::string k = lower(toUtf8(key));
    std::string v = toUtf8(value);
    if (k == "compatibility") {
        if (v != "1.4" && v != "1.5" && v != "1.6" && v != "1.7")
            throw PdfError(kErrOption, "set_parameter", "unsupported compatibility '" + v + "'");
        compatibility_ = v;
    } else if (k == "fontoutline") {
        auto eq = v.find('=');
        if (eq == std::string::npos)
            throw PdfError(kErrOption, "set_parameter", "FontOutline needs name=file");
        fontOutlines_[v.substr(0, eq)] = v.substr(eq + 1);
    } else {
        throw PdfError(kErrOption, "set_parameter", "unknown parameter '" + k + "'");
    }
}

int PdfOutput::begin_document(std::wstring_view filename, std::wstring_view optlist) {
    OptionList(optlist).allowOnly({}, "begin_document");
    if (writer_)
        throw PdfError(kErrScope, "begin_document", "a document is already open");
    writtenPath_.clear();
    std::string path = toUtf8(filename);
    if (path.empty())
        return fail("begin_document", "no output file name was given", kErrOpenFile);
    if (exists(path))
        return fail("begin_document",
                    "cannot create '" + path + "': the file already exists and is kept",
                    kErrOpenFile);
    // An unnamed file, linked into place when the document ends: until then no name
    // exists, so a run that is killed, even by SIGKILL, leaves nothing behind.
    std::string temp;
    int fd = ::open(directoryOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
        unnamedFd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (unnamedFd_ < 0 || ::access(procLink(unnamedFd_).c_str(), F_OK) != 0) {
            // Without /proc the file could never be given its name.
            if (unnamedFd_ >= 0)
                ::close(unnamedFd_);
            unnamedFd_ = -1;
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        // File systems without unnamed files get a hidden temporary one.
        temp = directoryOf(path) + "/." + baseName(path) + ".XXXXXX.part";
        fd = ::mkstemps(temp.data(), 5);
        if (fd < 0)
            return fail("begin_document", "cannot create '" + path + "': " + std::strerror(errno),
                        kErrOpenFile);
        // mkstemp makes the file private; a finished document gets the usual mode.
        mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
    }

    tempPath_ = temp;
    finalPath_ = path;
    writer_ = std::make_unique<PdfWriter>(fd, path);
    info_.clear();
    pageObjects_.clear();
    leaves_.clear();
    bookmarks_.clear();
    writer_->write("%PDF-" + compatibility_ + "\n%\xE2\xE3\xCF\xD3\n");
    catalog_ = writer_->newObjectNumber();
    pagesRoot_ = writer_->newObjectNumber();
    return 1;
}

void PdfOutput::set_info(std::wstring_view key, std::wstring_view value) {
    requireDocument("set_info");
    std::string k = toUtf8(key);
    if (k.empty() || k == "Producer" || k == "CreationDate" || k == "ModDate" || k == "Trapped")
        throw PdfError(kErrOption, "set_info", "the key '" + k + "' cannot be set");
    info_[k] = std::wstring(value);
}

void PdfOutput::begin_page_ext(double width, double height, std::wstring_view optlist) {
    requireDocument("begin_page_ext");
    OptionList(optlist).allowOnly({}, "begin_page_ext");
    if (page_)
        throw PdfError(kErrScope, "begin_page_ext", "a page is already open");
    // With /UserUnit up to 75,000 (the most viewers take), a page may be this large.
    if (!(width > 0) || !(height > 0) || width > 1e9 || height > 1e9)
        throw PdfError(kErrOption, "begin_page_ext",
                       "page size " + num(width) + " x " + num(height) + " is out of range");
    page_ = std::make_unique<Page>();
    page_->object = writer_->newObjectNumber();
    page_->width = width;
    page_->height = height;
    if (pageObjects_.size() % kPagesPerNode == 0)
        leaves_.push_back(writer_->newObjectNumber());
    pageObjects_.push_back(page_->object);
}

void PdfOutput::end_page_ext(std::wstring_view optlist) {
    OptionList(optlist).allowOnly({}, "end_page_ext");
    Page& page = requirePage("end_page_ext");
    // Viewers refuse pages over 14,400 units on a side, which a long banner scan at a
    // low resolution easily passes. Such a page keeps its size through /UserUnit: its
    // units grow and its content is drawn scaled to them, so a viewer that ignores the
    // unit still shows the whole page, only smaller.
    const double longest = std::max(page.width, page.height);
    const double unit = longest > kMaxPageUnits ? longest / kMaxPageUnits : 1;
    std::string dict = "<< /Type /Page /Parent " + std::to_string(leaves_.back()) +
                       " 0 R /MediaBox [0 0 " + num(std::max(page.width / unit, 0.01)) + " " +
                       num(std::max(page.height / unit, 0.01)) + "]";
    if (unit != 1) {
        dict += " /UserUnit " + pdfReal(unit, 10);
        std::string scale = pdfReal(1 / unit, 10);
        page.content = "q " + scale + " 0 0 " + scale + " 0 0 cm\n" + page.content + "Q\n";
    }
    dict += " /Resources <<";
    auto resources = [&dict](const char* kind, const std::map<std::string, int>& entries) {
        if (entries.empty())
            return;
        dict += std::string(" /") + kind + " <<";
        for (const auto& [name, object] : entries)
            dict += " /" + name + " " + std::to_string(object) + " 0 R";
        dict += " >>";
    };
    resources("XObject", page.xobjects);
    resources("Font", page.fonts);
    resources("ExtGState", page.extGStates);
    dict += " >>";
    if (!page.content.empty()) {
        int content = writer_->newObjectNumber();
        // Short streams stay readable; a page with text or many placements is packed.
        if (page.content.size() > 512)
            writer_->writeStreamObject(content, "/Filter /FlateDecode", deflateBytes(page.content));
        else
            writer_->writeStreamObject(content, "", page.content);
        dict += " /Contents " + std::to_string(content) + " 0 R";
    }
    dict += " >>";
    writer_->beginObject(page.object);
    writer_->write(dict);
    writer_->endObject();
    page_.reset();
}

void PdfOutput::writePagesTree() {
    struct Node {
        int object;
        std::vector<int> kids;
        std::size_t count;
    };
    std::vector<Node> level;
    for (std::size_t i = 0; i < leaves_.size(); ++i) {
        Node leaf{leaves_[i], {}, 0};
        for (std::size_t p = i * kPagesPerNode;
             p < pageObjects_.size() && p < (i + 1) * kPagesPerNode; ++p)
            leaf.kids.push_back(pageObjects_[p]);
        leaf.count = leaf.kids.size();
        level.push_back(std::move(leaf));
    }
    // Each level is written once its parents' numbers are known; the last level's
    // parent is the root, whose number the catalog already refers to.
    while (true) {
        bool last = level.size() <= kPagesPerNode;
        std::vector<Node> parents;
        for (std::size_t i = 0; i < level.size(); i += kPagesPerNode) {
            Node parent{last ? pagesRoot_ : writer_->newObjectNumber(), {}, 0};
            for (std::size_t k = i; k < level.size() && k < i + kPagesPerNode; ++k) {
                parent.kids.push_back(level[k].object);
                parent.count += level[k].count;
            }
            for (std::size_t k = i; k < level.size() && k < i + kPagesPerNode; ++k) {
                std::string d = "<< /Type /Pages /Parent " + std::to_string(parent.object) +
                                " 0 R /Count " + std::to_string(level[k].count) + " /Kids [";
                for (int kid : level[k].kids)
                    d += std::to_string(kid) + " 0 R ";
                d += "] >>";
                writer_->beginObject(level[k].object);
                writer_->write(d);
                writer_->endObject();
            }
            parents.push_back(std::move(parent));
        }
        if (last) {
            std::string d =
                "<< /Type /Pages /Count " + std::to_string(pageObjects_.size()) + " /Kids [";
            for (const auto& node : level)
                d += std::to_string(node.object) + " 0 R ";
            d += "] >>";
            writer_->beginObject(pagesRoot_);
            writer_->write(d);
            writer_->endObject();
            return;
        }
        level = std::move(parents);
    }
}

void PdfOutput::writeOutlines(int outlinesObject) {
    std::vector<int> items(bookmarks_.size());
    for (auto& item : items)
        item = writer_->newObjectNumber();
    for (std::size_t i = 0; i < bookmarks_.size(); ++i) {
        std::string d = "<< /Title " + bookmarks_[i].title + " /Parent " +
                        std::to_string(outlinesObject) + " 0 R";
        if (i > 0)
            d += " /Prev " + std::to_string(items[i - 1]) + " 0 R";
        if (i + 1 < items.size())
            d += " /Next " + std::to_string(items[i + 1]) + " 0 R";
        d += " /Dest [" + std::to_string(bookmarks_[i].page) + " 0 R /Fit] >>";
        writer_->beginObject(items[i]);
        writer_->write(d);
        writer_->endObject();
    }
    writer_->beginObject(outlinesObject);
    writer_->write("<< /Type /Outlines /First " + std::to_string(items.front()) + " 0 R /Last " +
                   std::to_string(items.back()) + " 0 R /Count " + std::to_string(items.size()) +
                   " >>");
    writer_->endObject();
}

// linkat names the unnamed file and renameat2 with RENAME_NOREPLACE moves the named
// one into place, each only if no file of that name exists (errno EEXIST); a hard link
// does the same on file systems without renameat2.
bool PdfOutput::placeAt(const std::string& name) {
    if (unnamedFd_ >= 0) {
        if (::linkat(AT_FDCWD, procLink(unnamedFd_).c_str(), AT_FDCWD, name.c_str(),
                     AT_SYMLINK_FOLLOW) != 0)
            return false;
        ::close(unnamedFd_);
        unnamedFd_ = -1;
        return true;
    }
    if (::renameat2(AT_FDCWD, tempPath_.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) ==
        0) {
        tempPath_.clear();
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (::link(tempPath_.c_str(), name.c_str()) != 0)
        return false;
    ::unlink(tempPath_.c_str());
    tempPath_.clear();
    return true;
}

void PdfOutput::end_document(std::wstring_view optlist) {
    OptionList(optlist).allowOnly({}, "end_document");
    requireDocument("end_document");
    try {
        finishDocument();
    } catch (...) {
        // A document that cannot be finished is not left half-written on disk.
        discardDocument();
        throw;
    }
}

void PdfOutput::finishDocument() {
    if (page_)
        throw PdfError(kErrScope, "end_document", "a page is still open");
    if (pageObjects_.empty())
        throw PdfError(kErrScope, "end_document", "the document has no pages");

    // Handles do not outlive their document. Fonts are written now, subset to the
    // glyphs the whole document used.
    images_.clear();
    pdiPages_.clear();
    pdiDocuments_.clear();
    for (auto& [handle, font] : fonts_)
        font.font->write(*writer_, font.object);
    fonts_.clear();
    fontHandles_.clear();
    gstates_.clear();
    gstateHandles_.clear();

    writePagesTree();
    int outlines = 0;
    if (!bookmarks_.empty()) {
        outlines = writer_->newObjectNumber();
        writeOutlines(outlines);
    }
    writer_->beginObject(catalog_);
    std::string catalog = "<< /Type /Catalog /Pages " + std::to_string(pagesRoot_) + " 0 R";
    if (outlines)
        catalog += " /Outlines " + std::to_string(outlines) + " 0 R /PageMode /UseOutlines";
    writer_->write(catalog + " >>");
    writer_->endObject();

    bool reproducible = false;
    std::string date = pdfDate(&reproducible);
    int info = writer_->beginNewObject();
    std::string d = "<<";
    for (const auto& [key, value] : info_)
        d += " " + pdfName(key) + " " + pdfTextString(value);
    d += " /Producer (Folimo) /CreationDate (" + date + ") /ModDate (" + date + ") >>";
    writer_->write(d);
    writer_->endObject();
    writer_->finish(catalog_, info, fileId(finalPath_, date, reproducible));

    // No fsync: the document never replaces a file, so no earlier data is at stake if
    // the machine fails before the kernel writes it out (the inputs are still there to
    // convert again), while waiting for the disk would double the time of a fast run.
    // What the rename below guarantees is what matters for a run that fails: the name
    // shows only a finished document.
    writer_->close();
    writer_.reset();
    // Another run may have taken the name while this one wrote; it keeps it, and this
    // document takes the next free name, as the program would have chosen had it come
    // later. The loop ends: each name that fails was seen to exist.
    std::string name = finalPath_;
    for (unsigned long n = 1; !placeAt(name); ++n) {
        if (errno != EEXIST || n > kMaxNumberedNames)
            throw PdfError(kErrIo, "end_document",
                           "cannot write '" + finalPath_ + "': " + std::strerror(errno));
        name = toUtf8(numberedName(fromUtf8(finalPath_), n));
    }
    writtenPath_ = name;
    tempPath_.clear();
    finalPath_.clear();
}

int PdfOutput::load_image(std::wstring_view imagetype, std::wstring_view filename,
                          std::wstring_view optlist) {
    OptionList options(optlist);
    options.allowOnly({"page"}, "load_image");
    requireDocument("load_image");
    std::string type = lower(toUtf8(imagetype));
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
            file = std::make_unique<MappedFile>(name);
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
    std::string key = lower(toUtf8(keyword));
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

void PdfOutput::placeObject(double w, double h, double unitW, double unitH, double x, double y,
                            std::wstring_view optlist, const std::string& name, int object,
                            const char* api, const std::string& inner) {
    Page& page = requirePage(api);
    OptionList options(optlist);
    options.allowOnly({"boxsize", "position", "fitmethod", "scale", "orientate", "adjustpage"},
                      api);
    if (options.has("scale")) {
        auto s = options.numbers("scale", {1, 2});
        w *= s[0];
        h *= s.size() == 2 ? s[1] : s[0];
    }
    std::string orientate = lower(options.text("orientate"));
    if (orientate.empty())
        orientate = "north";
    if (orientate != "north" && orientate != "east" && orientate != "south" && orientate != "west")
        throw PdfError(kErrOption, api, "unknown orientate '" + orientate + "'");
    bool quarter = orientate == "east" || orientate == "west";
    // The extent on the page: a quarter turn exchanges width and height.
    double ow = quarter ? h : w;
    double oh = quarter ? w : h;

    double bw = 0, bh = 0;
    if (options.has("boxsize")) {
        auto box = options.numbers("boxsize", {2});
        bw = box[0];
        bh = box[1];
    }
    std::string fit = lower(options.text("fitmethod"));
    if (fit.empty())
        fit = "nofit";
    if (fit != "nofit" && fit != "auto" && fit != "meet" && fit != "entire")
        throw PdfError(kErrOption, api, "unsupported fitmethod '" + fit + "'");
    if (bw > 0 && bh > 0 && ow > 0 && oh > 0) {
        bool fits = ow <= bw && oh <= bh;
        if (fit == "meet" || (fit == "auto" && !fits)) {
            double f = std::min(bw / ow, bh / oh);
            ow *= f;
            oh *= f;
        } else if (fit == "entire") {
            ow = bw;
            oh = bh;
        }
    }
    double px = 0, py = 0;
    std::string position = lower(options.text("position"));
    if (position == "center") {
        px = py = 50;
    } else if (!position.empty()) {
        auto p = options.numbers("position", {1, 2});
        px = p[0];
        py = p.size() == 2 ? p[1] : p[0];
    }
    double x0 = x + (bw - ow) * px / 100;
    double y0 = y + (bh - oh) * py / 100;
    if (!options.has("boxsize")) {
        x0 = x;
        y0 = y;
    }
    // The object's own extent, unitW x unitH (an image's unit square, a form's size),
    // mapped onto the page area ow x oh at x0, y0.
    double a = 0, b = 0, c = 0, d = 0, e = x0, f = y0;
    if (orientate == "north") {
        a = ow;
        d = oh;
    } else if (orientate == "east") { // top edge to the right: a quarter turn clockwise
        b = -oh;
        c = ow;
        f = y0 + oh;
    } else if (orientate == "west") {
        b = oh;
        c = -ow;
        e = x0 + ow;
    } else {
        a = -ow;
        d = -oh;
        e = x0 + ow;
        f = y0 + oh;
    }
    page.content += "q " + num(a / unitW) + " " + num(b / unitW) + " " + num(c / unitH) + " " +
                    num(d / unitH) + " " + num(e) + " " + num(f) + " cm " + inner + "/" + name +
                    " Do Q\n";
    page.xobjects[name] = object;

    if (options.has("adjustpage")) {
        page.width = x0 + ow;
        page.height = y0 + oh;
        if (!(page.width > 0) || !(page.height > 0))
            throw PdfError(kErrOption, api, "adjustpage gives an empty page");
    }
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
    static const char* const kOrientations[9] = {"",
                                                 "",
                                                 "-1 0 0 1 1 0 cm ",
                                                 "-1 0 0 -1 1 1 cm ",
                                                 "1 0 0 -1 0 1 cm ",
                                                 "0 -1 -1 0 1 1 cm ",
                                                 "0 -1 1 0 0 1 cm ",
                                                 "0 1 1 0 0 0 cm ",
                                                 "0 1 -1 0 1 0 cm "};
    int o = img.orientation >= 1 && img.orientation <= 8 ? img.orientation : 1;
    placeObject(w, h, 1, 1, x, y, optlist, "Im" + std::to_string(img.object), img.object,
                "fit_image", kOrientations[o]);
}

void PdfOutput::close_image(int handle) {
    image(handle, "close_image");
    images_.erase(handle);
}

int PdfOutput::open_pdi_document(std::wstring_view filename, std::wstring_view optlist) {
    OptionList(optlist).allowOnly({}, "open_pdi_document");
    std::string name = toUtf8(filename);
    try {
        auto doc = std::make_unique<PdfImport>(name);
        // Nothing of an empty document can be placed, and asking for its first page's
        // size would end the whole run.
        if (doc->pageCount() == 0)
            return fail("open_pdi_document", "the PDF file '" + name + "' has no pages", kErrPdi);
        int handle = nextHandle_++;
        pdiDocuments_[handle] = std::move(doc);
        return handle;
    } catch (const ImportError& e) {
        return fail("open_pdi_document", "cannot open the PDF file '" + name + "': " + e.what(),
                    kErrPdi);
    }
}

double PdfOutput::pcos_get_number(int doc, std::wstring_view wpath) {
    auto it = pdiDocuments_.find(doc);
    if (it == pdiDocuments_.end())
        throw PdfError(kErrHandle, "pcos_get_number",
                       "no PDF document has the handle " + std::to_string(doc));
    std::string path = toUtf8(wpath);
    PdfImport& pdf = *it->second;
    if (path == "length:pages")
        return pdf.pageCount();
    int index = -1;
    char what[16] = {};
    if (std::sscanf(path.c_str(), "pages[%d]/%15s", &index, what) == 2 && index >= 0 &&
        index < pdf.pageCount()) {
        try {
            if (std::strcmp(what, "width") == 0)
                return pdf.pageWidth(index);
            if (std::strcmp(what, "height") == 0)
                return pdf.pageHeight(index);
        } catch (const ImportError& e) {
            throw PdfError(kErrPdi, "pcos_get_number", e.what());
        }
    }
    throw PdfError(kErrOption, "pcos_get_number", "unknown path '" + path + "'");
}

int PdfOutput::open_pdi_page(int doc, int pagenumber, std::wstring_view optlist) {
    OptionList(optlist).allowOnly({}, "open_pdi_page");
    requireDocument("open_pdi_page");
    auto it = pdiDocuments_.find(doc);
    if (it == pdiDocuments_.end())
        throw PdfError(kErrHandle, "open_pdi_page",
                       "no PDF document has the handle " + std::to_string(doc));
    PdfImport& pdf = *it->second;
    if (pagenumber < 1 || pagenumber > pdf.pageCount())
        return fail("open_pdi_page", "the document has no page " + std::to_string(pagenumber),
                    kErrPdi);
    try {
        PdfImport::Form form = pdf.writePage(*writer_, pagenumber - 1);
        int handle = nextHandle_++;
        pdiPages_[handle] = {form.objectNumber, form.width, form.height};
        return handle;
    } catch (const ImportError& e) {
        return fail("open_pdi_page",
                    "cannot read page " + std::to_string(pagenumber) + ": " + e.what(), kErrPdi);
    }
}

void PdfOutput::fit_pdi_page(int page, double x, double y, std::wstring_view optlist) {
    auto it = pdiPages_.find(page);
    if (it == pdiPages_.end())
        throw PdfError(kErrHandle, "fit_pdi_page",
                       "no page has the handle " + std::to_string(page));
    const ImportedPage& form = it->second;
    placeObject(form.width, form.height, form.width, form.height, x, y, optlist,
                "Fm" + std::to_string(form.object), form.object, "fit_pdi_page");
}

void PdfOutput::close_pdi_page(int page) {
    if (pdiPages_.erase(page) == 0)
        throw PdfError(kErrHandle, "close_pdi_page",
                       "no page has the handle " + std::to_string(page));
}

void PdfOutput::close_pdi_document(int doc) {
    if (pdiDocuments_.erase(doc) == 0)
        throw PdfError(kErrHandle, "close_pdi_document",
                       "no PDF document has the handle " + std::to_string(doc));
}

void PdfOutput::create_bookmark(std::wstring_view text, std::wstring_view optlist) {
    OptionList(optlist).allowOnly({}, "create_bookmark");
    Page& page = requirePage("create_bookmark");
    bookmarks_.push_back({pdfTextString(text), page.object});
}

int PdfOutput::load_font(std::wstring_view fontname, std::wstring_view encoding,
                         std::wstring_view optlist) {
    OptionList(optlist).allowOnly({}, "load_font");
    requireDocument("load_font");
    (void)encoding; // every text goes through Unicode and Identity-H
    std::string name = toUtf8(fontname);
    if (auto known = fontHandles_.find(name); known != fontHandles_.end())
        return known->second;
    // "gothic:0": a name bound by FontOutline, and a face in its file.
    std::string family = name, face;
    if (auto colon = name.find(':'); colon != std::string::npos) {
        family = name.substr(0, colon);
        face = name.substr(colon + 1);
    }
    std::string target = family;
    if (auto bound = fontOutlines_.find(family); bound != fontOutlines_.end())
        target = bound->second;
    try {
        FontLocation location = findFont(target);
        if (!face.empty() && face != "0" && location.faceIndex == 0)
            location.faceIndex = std::atoi(face.c_str());
        Font font{std::make_unique<PdfFont>(location), writer_->newObjectNumber()};
        int handle = nextHandle_++;
        fonts_[handle] = std::move(font);
        fontHandles_[name] = handle;
        return handle;
    } catch (const PdfError& e) {
        if (e.number() != kErrFont)
            throw;
        return fail("load_font", "cannot load the font '" + name + "': " + e.what(), kErrFont);
    }
}

void PdfOutput::setfont(int font, double fontsize) {
    Page& page = requirePage("setfont");
    if (!fonts_.count(font))
        throw PdfError(kErrHandle, "setfont", "no font has the handle " + std::to_string(font));
    if (!(fontsize > 0))
        throw PdfError(kErrOption, "setfont", "the font size must be above 0");
    page.font = font;
    page.fontSize = fontsize;
}

void PdfOutput::show_xy(std::wstring_view text, double x, double y) {
    Page& page = requirePage("show_xy");
    auto it = fonts_.find(page.font);
    if (it == fonts_.end())
        throw PdfError(kErrScope, "show_xy", "no font was set");
    const std::wstring shown = displayText(text);
    std::u32string codepoints(shown.begin(), shown.end());
    std::string name = "F" + std::to_string(it->second.object);
    page.fonts[name] = it->second.object;
    page.content += "BT /" + name + " " + num(page.fontSize) + " Tf " + num(x) + " " + num(y) +
                    " Td " + pdfHexString(it->second.font->encode(codepoints)) + " Tj ET\n";
}

int PdfOutput::create_gstate(std::wstring_view optlist) {
    requireDocument("create_gstate");
    OptionList options(optlist);
    options.allowOnly({"opacityfill"}, "create_gstate");
    std::string key = toUtf8(optlist);
    if (auto known = gstateHandles_.find(key); known != gstateHandles_.end())
        return known->second;
    std::string dict = "<< /Type /ExtGState";
    if (options.has("opacityfill")) {
        double opacity = options.numbers("opacityfill", {1})[0];
        dict += " /ca " + num(std::clamp(opacity, 0.0, 1.0));
    }
    int object = writer_->beginNewObject();
    writer_->write(dict + " >>");
    writer_->endObject();
    int handle = nextHandle_++;
    gstates_[handle] = object;
    gstateHandles_[key] = handle;
    return handle;
}

void PdfOutput::set_gstate(int gstate) {
    Page& page = requirePage("set_gstate");
    auto it = gstates_.find(gstate);
    if (it == gstates_.end())
        throw PdfError(kErrHandle, "set_gstate",
                       "no graphics state has the handle " + std::to_string(gstate));
    std::string name = "GS" + std::to_string(it->second);
    page.extGStates[name] = it->second;
    page.content += "/" + name + " gs\n";
}

void PdfOutput::setcolor(std::wstring_view fstype, std::wstring_view colorspace, double c1,
                         double c2, double c3, double) {
    Page& page = requirePage("setcolor");
    std::string type = lower(toUtf8(fstype)), space = lower(toUtf8(colorspace));
    if (space != "rgb")
        throw PdfError(kErrOption, "setcolor", "unsupported colour space '" + space + "'");
    std::string rgb = num(std::clamp(c1, 0.0, 1.0)) + " " + num(std::clamp(c2, 0.0, 1.0)) + " " +
                      num(std::clamp(c3, 0.0, 1.0));
    if (type == "fill" || type == "fillstroke")
        page.content += rgb + " rg\n";
    if (type == "stroke" || type == "fillstroke")
        page.content += rgb + " RG\n";
    if (type != "fill" && type != "stroke" && type != "fillstroke")
        throw PdfError(kErrOption, "setcolor", "unknown fstype '" + type + "'");
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
