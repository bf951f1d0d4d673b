// The document's life: options, opening, document information, bookmarks, and the
// finishing that writes the page tree, outlines and trailer and names the file.
#include "PdfOutput.h"

#include "GlyphlessFont.h"
#include "OptionList.h"
#include "PdfFont.h"
#include "PdfImport.h"
#include "PdfSyntax.h"
#include "PdfWriter.h"

#include <folimo/OutputName.h>
#include <folimo/WideText.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace folimo::pdf {

namespace {

// How many numbered names a finished document tries before it gives up: far more than
// runs of the same name ever meet at once.
constexpr unsigned long kMaxNumberedNames = 10000;

// The name under which an open file can be linked into a folder.
std::string procLink(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

std::string directoryOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
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

} // namespace

PdfOutput::PdfOutput() = default;

PdfOutput::~PdfOutput() {
    discardDocument();
}

void PdfOutput::discardDocument() noexcept {
    page_.reset();
    fonts_.clear();
    fontHandles_.clear();
    layerFont_.reset();
    layerFontObject_ = 0;
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
        std::string policy = lowerAscii(options.text("errorpolicy"));
        if (policy != "return" && policy != "exception")
            throw PdfError(kErrOption, "set_option", "unknown errorpolicy '" + policy + "'");
        returnErrors_ = policy == "return";
    }
}

void PdfOutput::set_parameter(std::wstring_view key, std::wstring_view value) {
    std::string k = lowerAscii(toUtf8(key));
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

std::string PdfOutput::lowerAscii(std::string text) {
    for (auto& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
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
        // File systems without unnamed files get a hidden temporary one, named apart
        // from the document so that the longest document name still leaves it room.
        temp = directoryOf(path) + "/.folimo-XXXXXX.part";
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

void PdfOutput::create_bookmark(std::wstring_view text, std::wstring_view optlist) {
    OptionList(optlist).allowOnly({}, "create_bookmark");
    Page& page = requirePage("create_bookmark");
    bookmarks_.push_back({pdfTextString(text), page.object});
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
    if (::renameat2(AT_FDCWD, tempPath_.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0) {
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
    if (layerFont_)
        layerFont_->write(*writer_, layerFontObject_);
    layerFont_.reset();
    layerFontObject_ = 0;
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

} // namespace folimo::pdf
