#include "PdfImport.h"

#include "Deflate.h"
#include "PdfSyntax.h"
#include "PdfWriter.h"
#include "base/PdfError.h"

#include <qpdf/Buffer.hh>
#include <qpdf/Constants.h>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFAcroFormDocumentHelper.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFSystemError.hh>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace folimo::pdf {

namespace {

// Direct objects nest only as deep as qpdf's parser allows (a few hundred levels); this
// bound only protects the stack from objects built in memory.
constexpr int kMaxNesting = 1000;

struct Box {
    double llx = 0, lly = 0, urx = 0, ury = 0;
    double width() const { return urx - llx; }
    double height() const { return ury - lly; }
};

// A page's visible area and orientation, as viewers derive them.
struct Geometry {
    Box box;
    int rotate = 0; // 0, 90, 180 or 270, clockwise
    double unit = 1;

    double width() const { return (rotate % 180 == 0 ? box.width() : box.height()) * unit; }
    double height() const { return (rotate % 180 == 0 ? box.height() : box.width()) * unit; }
};

bool readBox(QPDFObjectHandle obj, Box& box) {
    if (!obj.isArray() || obj.getArrayNItems() != 4)
        return false;
    double v[4];
    for (int i = 0; i < 4; ++i) {
        QPDFObjectHandle item = obj.getArrayItem(i);
        if (!item.getValueAsNumber(v[i]) || !std::isfinite(v[i]))
            return false;
    }
    box = {std::min(v[0], v[2]), std::min(v[1], v[3]), std::max(v[0], v[2]), std::max(v[1], v[3])};
    return box.width() > 0 && box.height() > 0;
}

Geometry pageGeometry(QPDFPageObjectHelper& page, int quarterTurns) {
    Geometry g;
    // Viewers show a page without a usable media box at letter size rather than not at all.
    Box media{0, 0, 612, 792};
    readBox(page.getAttribute("/MediaBox", false), media);
    g.box = media;
    Box crop;
    if (readBox(page.getAttribute("/CropBox", false), crop)) {
        // Only the part of the crop box inside the media box is ever shown.
        Box clipped{std::max(crop.llx, media.llx), std::max(crop.lly, media.lly),
                    std::min(crop.urx, media.urx), std::min(crop.ury, media.ury)};
        if (clipped.width() > 0 && clipped.height() > 0)
            g.box = clipped;
    }
    double rotate = 0;
    if (page.getAttribute("/Rotate", false).getValueAsNumber(rotate) && std::isfinite(rotate) &&
        rotate == std::floor(rotate) && std::fmod(rotate, 90) == 0) {
        double r = std::fmod(rotate, 360);
        if (r < 0)
            r += 360;
        g.rotate = static_cast<int>(r);
    }
    g.rotate = (g.rotate + 90 * quarterTurns) % 360;
    double unit = 1;
    if (page.getObjectHandle().getKey("/UserUnit").getValueAsNumber(unit) && std::isfinite(unit) &&
        unit > 0)
        g.unit = unit;
    return g;
}

// Maps the page's default space so that its box, turned clockwise by the page's rotation,
// lands on (0, 0)-(width, height).
std::string placementMatrix(const Geometry& g) {
    const Box& b = g.box;
    double m[6];
    switch (g.rotate) {
    case 90:
        m[0] = 0, m[1] = -1, m[2] = 1, m[3] = 0, m[4] = -b.lly, m[5] = b.urx;
        break;
    case 180:
        m[0] = -1, m[1] = 0, m[2] = 0, m[3] = -1, m[4] = b.urx, m[5] = b.ury;
        break;
    case 270:
        m[0] = 0, m[1] = 1, m[2] = -1, m[3] = 0, m[4] = b.ury, m[5] = -b.llx;
        break;
    default:
        m[0] = 1, m[1] = 0, m[2] = 0, m[3] = 1, m[4] = -b.llx, m[5] = -b.lly;
        break;
    }
    std::string out = "[";
    for (int i = 0; i < 6; ++i) {
        if (i > 0)
            out += ' ';
        out += pdfReal(m[i] * g.unit);
    }
    return out + "]";
}

std::string boxArray(const Box& b) {
    return "[" + pdfReal(b.llx) + " " + pdfReal(b.lly) + " " + pdfReal(b.urx) + " " +
           pdfReal(b.ury) + "]";
}

// Why a file qpdf could not parse failed, told apart only on the error path: readers
// accept a header anywhere in the first kilobyte, so its absence means "not a PDF".
std::string notParsedReason(const std::string& path, const std::string& detail) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return "the file could not be opened";
    char buf[1024];
    std::size_t n = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    if (n == 0)
        return "the file is empty";
    if (std::string_view(buf, n).find("%PDF-") == std::string_view::npos)
        return "this is not a PDF file";
    return "the PDF file is damaged and could not be repaired: " + detail;
}

} // namespace

struct PdfImport::Impl {
    std::string path;
    QPDF qpdf;
    std::vector<QPDFPageObjectHelper> pages;
    std::set<QPDFObjGen> pageObjects;
    PdfWriter* writer = nullptr;
    int highest = 0; // the largest object number handed out
    int turns = 0;   // clockwise quarter turns on top of each page's own, 0 to 3

    // Input object -> output object number, for everything already copied or queued, so
    // that objects shared by several pages are written once.
    std::map<QPDFObjGen, int> numbers;
    // Objects given a number but not written yet.
    std::deque<QPDFObjGen> queue;
    // Objects numbered during the current writePage, forgotten again if it fails.
    std::vector<QPDFObjGen> numberedNow;

    void open();
    [[noreturn]] void fail(const std::string& what) const;
    QPDFPageObjectHelper& page(int index);

    bool isPageTreeNode(QPDFObjectHandle obj);
    int numberFor(const QPDFObjectHandle& obj);
    void serialize(QPDFObjectHandle obj, std::string& out, int depth);
    void serializeBody(QPDFObjectHandle obj, std::string& out, int depth);
    void serializeDictEntries(QPDFObjectHandle dict, bool stream, std::string& out, int depth);
    void writeQueued();
    void writeObject(QPDFObjectHandle obj, int number);
    std::string pageContent(QPDFPageObjectHelper& page, bool& compressed);
    Form writeForm(QPDFPageObjectHelper& page);
    void abandonUnwritten();
    void dropWarnings();
};

void PdfImport::Impl::fail(const std::string& what) const {
    throw ImportError("\"" + path + "\": " + what);
}

void PdfImport::Impl::open() {
    qpdf.setSuppressWarnings(true);
    // Checked before it is read: a named pipe would block the run for good, a folder or
    // a device gives no PDF.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        fail(std::string("the file could not be opened: ") + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        fail(S_ISDIR(st.st_mode) ? "this is a folder, not a PDF file"
                                 : "this is not a regular file");
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (!file) {
        ::close(fd);
        fail("the file could not be opened");
    }
    try {
        qpdf.processFile(path.c_str(), file, true);
        pages = QPDFPageDocumentHelper(qpdf).getAllPages();
    } catch (const QPDFExc& e) {
        switch (e.getErrorCode()) {
        case qpdf_e_password:
            fail("the PDF file is password-protected; open it with its password, save an "
                 "unprotected copy and add that instead");
        case qpdf_e_unsupported:
            fail("the PDF file uses a feature that is not supported: " + e.getMessageDetail());
        case qpdf_e_system: {
            std::error_code ec;
            if (std::filesystem::is_directory(path, ec))
                fail("this is a folder, not a PDF file");
            fail("the file could not be read (" + e.getMessageDetail() + ")");
        }
        default:
            fail(notParsedReason(path, e.getMessageDetail()));
        }
    } catch (const QPDFSystemError& e) {
        fail("the file could not be opened: " + std::string(std::strerror(e.getErrno())));
    } catch (const std::exception& e) {
        fail(notParsedReason(path, e.what()));
    }
    for (auto& p : pages)
        pageObjects.insert(p.getObjectHandle().getObjGen());

    // Drawing annotation appearances into the page contents, once, on the copy in memory,
    // keeps filled forms, stamps and comments. Forms whose fields ask the viewer to draw
    // their values get appearances made for them first, or their values would be lost.
    // Annotations a viewer hides stay out. A failure here costs annotations, not pages.
    try {
        QPDFAcroFormDocumentHelper acroForm(qpdf);
        if (acroForm.getNeedAppearances()) {
            acroForm.generateAppearancesIfNeeded();
            // The values are drawn by filters that run only when a stream is decoded, and
            // the copy takes raw stream data: the drawn result must become the data.
            for (auto& page : pages) {
                for (auto& widget : acroForm.getWidgetAnnotationsForPage(page)) {
                    QPDFObjectHandle appearance = widget.getAppearanceStream("/N");
                    if (!appearance.isStream())
                        continue;
                    try {
                        std::shared_ptr<Buffer> drawn =
                            appearance.getStreamData(qpdf_dl_generalized);
                        appearance.replaceStreamData(drawn, QPDFObjectHandle::newNull(),
                                                     QPDFObjectHandle::newNull());
                    } catch (const std::exception&) {
                    }
                }
            }
        }
    } catch (const std::exception&) {
    }
    try {
        QPDFPageDocumentHelper(qpdf).flattenAnnotations(0, an_hidden | an_no_view);
    } catch (const std::exception&) {
    }
    dropWarnings();
}

// qpdf keeps every warning it suppresses; a badly damaged file can produce them by the
// thousand, and nothing reads them.
void PdfImport::Impl::dropWarnings() {
    qpdf.getWarnings();
}

QPDFPageObjectHelper& PdfImport::Impl::page(int index) {
    if (index < 0 || index >= static_cast<int>(pages.size()))
        fail("there is no page " + std::to_string(index + 1) + "; the document has " +
             std::to_string(pages.size()) + (pages.size() == 1 ? " page" : " pages"));
    return pages[static_cast<std::size_t>(index)];
}

bool PdfImport::Impl::isPageTreeNode(QPDFObjectHandle obj) {
    if (!obj.isDictionary())
        return false;
    if (obj.isIndirect() && pageObjects.count(obj.getObjGen()))
        return true;
    return obj.isDictionaryOfType("/Page") || obj.isDictionaryOfType("/Pages");
}

int PdfImport::Impl::numberFor(const QPDFObjectHandle& obj) {
    QPDFObjGen og = obj.getObjGen();
    auto it = numbers.find(og);
    if (it != numbers.end())
        return it->second;
    int number = writer->newObjectNumber();
    highest = std::max(highest, number);
    numbers.emplace(og, number);
    numberedNow.push_back(og);
    queue.push_back(og);
    return number;
}

void PdfImport::Impl::serialize(QPDFObjectHandle obj, std::string& out, int depth) {
    if (obj.isIndirect()) {
        // A reference to a page would pull the whole page tree of the input along.
        if (obj.isNull() || isPageTreeNode(obj)) {
            out += "null";
            return;
        }
        out += std::to_string(numberFor(obj));
        out += " 0 R";
        return;
    }
    serializeBody(obj, out, depth);
}

void PdfImport::Impl::serializeBody(QPDFObjectHandle obj, std::string& out, int depth) {
    if (depth > kMaxNesting)
        throw std::runtime_error("objects are nested too deeply");
    if (obj.isBool() || obj.isInteger() || obj.isReal()) {
        out += obj.unparse();
    } else if (obj.isName()) {
        out += pdfName(obj.getName().substr(1));
    } else if (obj.isString()) {
        out += obj.unparseBinary();
    } else if (obj.isArray()) {
        out += '[';
        int n = obj.getArrayNItems();
        for (int i = 0; i < n; ++i) {
            if (i > 0)
                out += ' ';
            serialize(obj.getArrayItem(i), out, depth + 1);
        }
        out += ']';
    } else if (obj.isDictionary()) {
        out += "<<";
        serializeDictEntries(obj, false, out, depth);
        out += " >>";
    } else {
        // Null, and the operator and reserved tokens a damaged file may leave behind.
        out += "null";
    }
}

void PdfImport::Impl::serializeDictEntries(QPDFObjectHandle dict, bool stream, std::string& out,
                                           int depth) {
    QPDFObjectHandle filter = dict.getKey("/Filter");
    QPDFObjectHandle parms = dict.getKey("/DecodeParms");
    bool replaceFilter = false;
    if (stream) {
        // qpdf hands out stream data already decrypted, so a /Crypt step must go from the
        // filter chain or readers would try to decrypt an unencrypted stream.
        if (filter.isName() && filter.getName() == "/Crypt") {
            filter = QPDFObjectHandle::newNull();
            parms = QPDFObjectHandle::newNull();
            replaceFilter = true;
        } else if (filter.isArray()) {
            std::vector<QPDFObjectHandle> filters, kept;
            int n = filter.getArrayNItems();
            bool parmsArray = parms.isArray() && parms.getArrayNItems() == n;
            for (int i = 0; i < n; ++i) {
                QPDFObjectHandle f = filter.getArrayItem(i);
                if (f.isName() && f.getName() == "/Crypt") {
                    replaceFilter = true;
                    continue;
                }
                filters.push_back(f);
                if (parmsArray)
                    kept.push_back(parms.getArrayItem(i));
            }
            if (replaceFilter) {
                filter = QPDFObjectHandle::newArray(filters);
                parms = parmsArray ? QPDFObjectHandle::newArray(kept) : parms;
            }
        }
    }
    for (const auto& key : dict.getKeys()) {
        // Structure tree links would point into a tree that is not copied.
        if (key == "/StructParent" || key == "/StructParents")
            continue;
        if (stream && key == "/Length")
            continue;
        QPDFObjectHandle value = dict.getKey(key);
        // An entry naming a page (an annotation's /P, a field's /Parent chain ending at
        // the page tree) is dropped rather than set to null: absent and null mean the same.
        if (isPageTreeNode(value))
            continue;
        if (replaceFilter && key == "/Filter")
            value = filter;
        else if (replaceFilter && key == "/DecodeParms")
            value = parms;
        if (value.isNull())
            continue;
        out += ' ';
        out += pdfName(key.substr(1));
        out += ' ';
        serialize(value, out, depth + 1);
    }
}

void PdfImport::Impl::writeObject(QPDFObjectHandle obj, int number) {
    if (obj.isStream()) {
        std::string dict;
        serializeDictEntries(obj.getDict(), true, dict, 0);
        std::shared_ptr<Buffer> data = obj.getRawStreamData();
        writer->writeStreamObject(
            number, dict,
            std::string_view(reinterpret_cast<const char*>(data->getBuffer()), data->getSize()));
        return;
    }
    std::string text;
    serializeBody(obj, text, 0);
    writer->beginObject(number);
    writer->write(text);
    writer->endObject();
}

// A breadth-first walk instead of recursion, so that long chains of references cannot
// exhaust the stack; the number map stops cycles.
void PdfImport::Impl::writeQueued() {
    while (!queue.empty()) {
        QPDFObjGen og = queue.front();
        QPDFObjectHandle obj = qpdf.getObjectByObjGen(og);
        writeObject(obj, numbers.at(og));
        queue.pop_front();
    }
}

std::string PdfImport::Impl::pageContent(QPDFPageObjectHelper& page, bool& compressed) {
    std::vector<QPDFObjectHandle> streams = page.getPageContents();
    compressed = false;
    if (streams.size() == 1) {
        QPDFObjectHandle dict = streams[0].getDict();
        QPDFObjectHandle filter = dict.getKey("/Filter");
        if (filter.isArray() && filter.getArrayNItems() == 1)
            filter = filter.getArrayItem(0);
        QPDFObjectHandle parms = dict.getKey("/DecodeParms");
        if (parms.isArray() && parms.getArrayNItems() == 1)
            parms = parms.getArrayItem(0);
        if (filter.isName() && filter.getName() == "/FlateDecode" &&
            (parms.isNull() || (parms.isDictionary() && parms.getKeys().empty()))) {
            std::shared_ptr<Buffer> data = streams[0].getRawStreamData();
            compressed = true;
            return std::string(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
        }
    }
    std::string content;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (i > 0)
            content += '\n';
        std::shared_ptr<Buffer> data = streams[i].getStreamData(qpdf_dl_generalized);
        content.append(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
    }
    return content;
}

PdfImport::Form PdfImport::Impl::writeForm(QPDFPageObjectHelper& page) {
    Geometry g = pageGeometry(page, turns);
    bool compressed = false;
    std::string content = pageContent(page, compressed);
    if (!compressed)
        content = deflateBytes(content);

    std::string dict = " /Type /XObject /Subtype /Form /BBox " + boxArray(g.box) + " /Matrix " +
                       placementMatrix(g) + " /Resources ";
    QPDFObjectHandle resources = page.getAttribute("/Resources", false);
    if (resources.isDictionary())
        serialize(resources, dict, 0);
    else
        dict += "<< >>";
    // A page that is a transparency group must stay one, or its blending changes.
    QPDFObjectHandle group = page.getObjectHandle().getKey("/Group");
    if (group.isDictionary()) {
        dict += " /Group ";
        serialize(group, dict, 0);
    }
    dict += " /Filter /FlateDecode";

    int number = writer->newObjectNumber();
    highest = std::max(highest, number);
    writer->writeStreamObject(number, dict, content);
    std::string().swap(content);
    writeQueued();
    return {number, g.width(), g.height()};
}

// After a failure the output must still be finishable: numbers handed out for objects
// that were never written become null objects, and the input objects they stood for are
// forgotten so that a later page copies them afresh.
void PdfImport::Impl::abandonUnwritten() {
    for (const auto& og : queue) {
        writer->beginObject(numbers.at(og));
        writer->write("null");
        writer->endObject();
    }
    queue.clear();
    for (const auto& og : numberedNow)
        numbers.erase(og);
    numberedNow.clear();
}

PdfImport::PdfImport(const std::string& utf8Path) : impl_(std::make_unique<Impl>()) {
    impl_->path = utf8Path;
    impl_->open();
}

PdfImport::~PdfImport() = default;

int PdfImport::pageCount() const {
    return static_cast<int>(impl_->pages.size());
}

void PdfImport::turnPages(int quarterTurns) {
    impl_->turns = (impl_->turns + ((quarterTurns % 4) + 4) % 4) % 4;
}

double PdfImport::pageWidth(int index) const {
    try {
        return pageGeometry(impl_->page(index), impl_->turns).width();
    } catch (const ImportError&) {
        throw;
    } catch (const std::exception& e) {
        impl_->fail("page " + std::to_string(index + 1) + " could not be read: " + e.what());
    }
}

double PdfImport::pageHeight(int index) const {
    try {
        return pageGeometry(impl_->page(index), impl_->turns).height();
    } catch (const ImportError&) {
        throw;
    } catch (const std::exception& e) {
        impl_->fail("page " + std::to_string(index + 1) + " could not be read: " + e.what());
    }
}

PdfImport::Form PdfImport::writePage(PdfWriter& writer, int index) {
    QPDFPageObjectHelper& page = impl_->page(index);
    // Numbers in the map belong to one output; a writer with fewer objects than were
    // handed out is another output even if it sits at the address of an earlier one.
    if (impl_->writer && (impl_->writer != &writer || writer.objectCount() < impl_->highest))
        throw PdfError(kErrInternal, "", "pages of one input PDF written to two outputs");
    impl_->writer = &writer;
    impl_->numberedNow.clear();
    try {
        Form form = impl_->writeForm(page);
        impl_->numberedNow.clear();
        impl_->dropWarnings();
        return form;
    } catch (const PdfError&) {
        throw;
    } catch (const std::exception& e) {
        std::string reason = e.what();
        impl_->abandonUnwritten();
        impl_->dropWarnings();
        impl_->fail("page " + std::to_string(index + 1) + " could not be read: " + reason);
    }
}

} // namespace folimo::pdf
