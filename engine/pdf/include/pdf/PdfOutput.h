// The PDF library of the engine: documents, pages, images, imported PDF pages,
// bookmarks and document information, under the operation names and option strings
// the engine uses. It streams: an image or imported page is written to the output
// when it is loaded and a page when it ends, so memory does not grow with the
// document; only object offsets, page numbers and bookmark titles stay.
//
// The document is written to an unnamed file in the output's folder (a hidden
// temporary file where the file system has none) and given the output path by
// end_document, never over a file that exists, so a failed, abandoned or killed run
// leaves nothing that looks like a finished PDF.
//
// Errors: with "errorpolicy=return" the operations that can fail for a bad input
// (begin_document, load_image, open_pdi_document, open_pdi_page) return -1 and
// get_errmsg() tells why; everything else, and those under the default policy, throw
// PdfError. A PdfOutput is used by one thread at a time.
#pragma once

#include "base/PdfError.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace folimo::pdf {

class PdfWriter;
class PdfImport;
class PdfFont;
class GlyphlessFont;

// A word of an invisible text layer: its box, y up, and where known the height of its
// baseline, in the space add_text_layer's matrix maps onto the page.
struct LayerWord {
    std::wstring text;
    double left = 0;
    double bottom = 0;
    double right = 0;
    double top = 0;
    double baseline = std::numeric_limits<double>::quiet_NaN();
};

class PdfOutput {
public:
    PdfOutput();
    ~PdfOutput(); // an unfinished document's temporary file is removed
    PdfOutput(const PdfOutput&) = delete;
    PdfOutput& operator=(const PdfOutput&) = delete;

    void set_option(std::wstring_view optlist);
    void set_parameter(std::wstring_view key, std::wstring_view value);

    int begin_document(std::wstring_view filename, std::wstring_view optlist);
    // Names the document: its filename, or the next free numbered name (" (1)", ...)
    // when another run took that name while this one wrote.
    void end_document(std::wstring_view optlist);
    // The name the last ended document was given; empty before one ends.
    const std::string& writtenPath() const { return writtenPath_; }
    // The pages of the open document so far.
    int pageCount() const { return static_cast<int>(pageObjects_.size()); }
    void set_info(std::wstring_view key, std::wstring_view value);

    void begin_page_ext(double width, double height, std::wstring_view optlist);
    void end_page_ext(std::wstring_view optlist);

    // "page=N" loads page N (from 1) of a file that has several, a multi-page TIFF.
    int load_image(std::wstring_view imagetype, std::wstring_view filename,
                   std::wstring_view optlist);
    // Keywords: imagewidth, imageheight (pixels), width, height (points), resx, resy,
    // pagecount (the pages of the image's file: a TIFF's directories, else 1).
    double info_image(int image, std::wstring_view keyword, std::wstring_view optlist);
    void fit_image(int image, double x, double y, std::wstring_view optlist);
    void close_image(int image);
    // Turns a loaded image by `quarterTurns` clockwise as shown (any number, taken mod
    // 4) on top of its own orientation: its data stays as it is, only its placement
    // turns, and info_image then tells the turned picture's sizes and resolutions.
    void turn_image(int image, int quarterTurns);
    // The matrix (a b c d e f, as cm) with which the last fit_image of `image` mapped
    // the picture as shown, upright and turned, from its unit square onto the page:
    // (0,0) its lower left corner, (1,1) its upper right. Throws PdfError(kErrScope)
    // before the image is placed.
    std::array<double, 6> image_matrix(int image) const;

    int open_pdi_document(std::wstring_view filename, std::wstring_view optlist);
    double pcos_get_number(int doc, std::wstring_view path);
    // Turns the pages of `doc` by `quarterTurns` clockwise on top of their own rotation,
    // as turn_image does an image: the sizes told and the pages opened after follow.
    void turn_pdi_document(int doc, int quarterTurns);
    int open_pdi_page(int doc, int pagenumber, std::wstring_view optlist);
    void fit_pdi_page(int page, double x, double y, std::wstring_view optlist);
    void close_pdi_page(int page);
    void close_pdi_document(int doc);

    void create_bookmark(std::wstring_view text, std::wstring_view optlist);

    // Fonts: "name:index" names a font bound with the FontOutline parameter ("gothic"
    // to a family or a file), or any family fontconfig knows. Whatever the encoding
    // asked for, text is shown through Unicode and an embedded subset of the font.
    int load_font(std::wstring_view fontname, std::wstring_view encoding,
                  std::wstring_view optlist);
    void setfont(int font, double fontsize);
    // Draws text with its baseline starting at (x, y).
    void show_xy(std::wstring_view text, double x, double y);
    // Adds to the open page, over what it shows so far, text that is not drawn but can
    // be found, selected and copied: each word stretched over its box, its size the
    // box's height, its baseline the given one or, unknown, the font's descent above
    // the box's bottom. Words of Chinese or Japanese, written without spaces, stand as
    // tall as their line and reach the next word on it, so that readers copy them out
    // as one line without spaces. The words' coordinates are in the space that `cm`
    // (a b c d e f, as the operator cm) maps onto the page: by default page points
    // from the lower left. Words with no text are left out. Throws PdfError(kErrOption), adding
    // nothing, for a box that is empty, inverted or not finite, or a matrix that
    // cannot be inverted.
    void add_text_layer(const std::vector<LayerWord>& words,
                        const std::array<double, 6>& cm = {1, 0, 0, 1, 0, 0});
    // "opacityfill=0.50": the fill opacity of what is drawn after set_gstate.
    int create_gstate(std::wstring_view optlist);
    void set_gstate(int gstate);
    // setcolor("fill", "rgb", r, g, b, 0), components 0 to 1.
    void setcolor(std::wstring_view fstype, std::wstring_view colorspace, double c1, double c2,
                  double c3, double c4);

    // The data is not copied: it must stay valid until delete_pvf. load_image reads
    // it at once, so it may be freed right after the image is loaded.
    void create_pvf(std::wstring_view filename, const void* data, std::size_t size,
                    std::wstring_view optlist);
    int delete_pvf(std::wstring_view filename);

    std::wstring get_errmsg() const;

private:
    // Sizes and resolutions as the picture is seen: a stored picture turned a
    // quarter by its orientation has them exchanged.
    struct Image {
        int object = 0;
        int width = 0;
        int height = 0;
        double resx = 0;
        double resy = 0;
        int orientation = 1;
        int turns = 0; // quarter turns clockwise after the orientation, 0 to 3
        int pages = 1; // of the file it came from, for info_image's "pagecount"
        bool placed = false;
        std::array<double, 6> matrix{}; // of the last placement, see image_matrix
    };
    struct ImportedPage {
        int object = 0;
        double width = 0;
        double height = 0;
    };
    struct Page {
        int object = 0;
        double width = 0;
        double height = 0;
        std::string content;
        std::map<std::string, int> xobjects; // resource name -> object number
        std::map<std::string, int> fonts;
        std::map<std::string, int> extGStates;
        int font = -1; // the handle setfont chose, and its size
        double fontSize = 0;
    };
    struct Font {
        std::unique_ptr<PdfFont> font;
        int object = 0;
    };
    struct Bookmark {
        std::string title; // PDF text string
        int page = 0;      // page object number
    };

    // Option words and keywords match whatever their ASCII case.
    static std::string lowerAscii(std::string text);
    int fail(const char* api, const std::string& message, int number);
    void requireDocument(const char* api) const;
    Page& requirePage(const char* api);
    const Image& image(int handle, const char* api) const;
    // Draws the XObject `name` of natural size (w, h), whose own coordinates span
    // unitW x unitH, at (x, y) following the fitting options.
    // `inner`, when not empty, is a matrix applied to the object before the placement.
    // Returns the matrix that maps the unitW x unitH extent onto the page.
    std::array<double, 6> placeObject(double w, double h, double unitW, double unitH, double x,
                                      double y, std::wstring_view optlist, const std::string& name,
                                      int object, const char* api, const std::string& inner = "");
    void writePagesTree();
    void writeOutlines(int outlinesObject);
    void finishDocument();
    bool placeAt(const std::string& name);
    void discardDocument() noexcept;

    bool returnErrors_ = false;
    std::string compatibility_ = "1.7";
    std::map<std::string, std::string> fontOutlines_;
    std::string errmsg_;

    // The open document.
    std::unique_ptr<PdfWriter> writer_;
    std::string finalPath_;
    std::string tempPath_; // empty while the document is an unnamed file
    int unnamedFd_ = -1;   // that unnamed file, kept open to give it its name at the end
    std::string writtenPath_;
    int catalog_ = 0;
    int pagesRoot_ = 0;
    std::map<std::string, std::wstring> info_;
    std::vector<int> pageObjects_;
    std::vector<int> leaves_; // the page-tree node of every run of kPagesPerNode pages
    std::vector<Bookmark> bookmarks_;
    std::unique_ptr<Page> page_;

    std::map<int, Image> images_;
    std::map<int, std::unique_ptr<PdfImport>> pdiDocuments_;
    std::map<int, ImportedPage> pdiPages_;
    int nextHandle_ = 1;
    std::map<std::string, std::pair<const void*, std::size_t>> pvf_;
    std::map<int, Font> fonts_;
    std::map<std::string, int> fontHandles_;   // by font name, one load per document
    std::unique_ptr<GlyphlessFont> layerFont_; // the text layers' font, shared by every page
    int layerFontObject_ = 0;
    std::map<int, int> gstates_;               // handle -> object
    std::map<std::string, int> gstateHandles_; // by option list, one object per document
};

} // namespace folimo::pdf
