// The engine's public interfaces. The program and the engine library are separate
// deliverables: the order of the virtual operations below is the contract between
// them, so never reorder, insert or remove one.
//
// Ownership: an object obtained from CreateObject is destroyed by its own Release,
// exactly once; there is no reference count. The settings object returned by
// IFolimo::GetSettings lives inside the engine object and is never released by the
// caller. A watermark given to IFolimoSettings::AddWatermark belongs to the settings
// from then on. IProcess and FolimoCallback objects belong to the caller and must
// outlive every Convert that uses them.
//
// Threads: an engine object is used by one thread at a time; Convert calls IProcess
// and FolimoCallback on the thread that called it. IXImage::Load may be called from
// any thread.
#pragma once

#include <cstdint>

#ifndef E_FAIL
#define E_FAIL (static_cast<int>(0x80004005u))
#endif

struct IBase {
    virtual void Release() = 0;

protected:
    ~IBase() = default;
};

struct IWatermark;

// Named values of the numbers the operations below take and give. The operations keep
// their int parameters: these only name the values both sides already agree on.

// Document information texts, the index of IFolimoSettings::SetInfo and GetInfo.
enum FolimoInfo {
    FOLIMO_INFO_TITLE = 0,
    FOLIMO_INFO_SUBJECT = 1,
    FOLIMO_INFO_AUTHOR = 2,
    FOLIMO_INFO_CREATOR = 3,
    FOLIMO_INFO_KEYWORDS = 4,
    FOLIMO_INFO_COUNT = 5,
};

// The side of IFolimoSettings::SetMargin and GetMargin.
enum FolimoMarginSide {
    FOLIMO_MARGIN_LEFT = 0,
    FOLIMO_MARGIN_TOP = 1,
    FOLIMO_MARGIN_RIGHT = 2,
    FOLIMO_MARGIN_BOTTOM = 3,
};

// How an image goes into the document (SetImageEncode, SetDefaultImageEncode).
enum FolimoImageEncode {
    FOLIMO_ENCODE_UNCHANGED = 0, // the file's own data where a PDF can carry it
    FOLIMO_ENCODE_JPEG = 1,
    FOLIMO_ENCODE_GREY_JPEG = 2,
    FOLIMO_ENCODE_PNG = 3,
    FOLIMO_ENCODE_GIF = 4,
    FOLIMO_ENCODE_TIFF = 5,
};

// The encoding used for images that cannot go in unchanged: `defaultCode`, or JPEG when
// that is no re-encoding (a record is given values as they come, from a store edited by
// hand too, and one outside the codes would fail every image).
inline int FolimoUsableDefaultEncode(int defaultCode) {
    return defaultCode >= FOLIMO_ENCODE_JPEG && defaultCode <= FOLIMO_ENCODE_TIFF
               ? defaultCode
               : FOLIMO_ENCODE_JPEG;
}

// The encoding a run really uses for `code`: an image can go in unchanged only when it
// need not be shrunk, that is when both maximum sizes are -1; otherwise, and for
// "unchanged" with any other limits (0, 0 included), the default code applies, as it
// does for a code outside 0 to 5.
inline int FolimoEffectiveEncode(int code, int maxWidth, int maxHeight, int defaultCode) {
    const bool unchanged = code == FOLIMO_ENCODE_UNCHANGED && maxWidth == -1 && maxHeight == -1;
    if (unchanged || (code >= FOLIMO_ENCODE_JPEG && code <= FOLIMO_ENCODE_TIFF))
        return code;
    return FolimoUsableDefaultEncode(defaultCode);
}

// Page sizes of SetPageSize: the image's own size, or a fixed portrait size.
enum FolimoPageSize {
    FOLIMO_PAGE_IMAGE = 0,
    FOLIMO_PAGE_A1 = 1,
    FOLIMO_PAGE_A2 = 2,
    FOLIMO_PAGE_A3 = 3,
    FOLIMO_PAGE_A4 = 4,
    FOLIMO_PAGE_A5 = 5,
    FOLIMO_PAGE_A6 = 6,
    FOLIMO_PAGE_B5 = 7,
    FOLIMO_PAGE_LETTER = 8,
    FOLIMO_PAGE_LEGAL = 9,
    FOLIMO_PAGE_LEDGER = 10,
    FOLIMO_PAGE_TABLOID = 11,
};

// The size in points of a page of a page-size code, turned to landscape when asked;
// 0 x 0 for FOLIMO_PAGE_IMAGE (each page follows its image) and for codes outside the
// table. The values are the product's own, not rounded paper sizes, except Letter: its
// row once read 621, nine points wider than the paper, so every Letter page overhung
// the sheet it was printed on. Stored settings keep the code, not the width.
struct FolimoPageExtent {
    int width;
    int height;
};
inline FolimoPageExtent FolimoPageExtentOf(int code, bool landscape) {
    constexpr FolimoPageExtent kPortrait[FOLIMO_PAGE_TABLOID + 1] = {
        {0, 0},     {1684, 2380}, {1190, 1684}, {842, 1190}, {594, 842},  {421, 595},
        {297, 421}, {501, 709},   {612, 792},   {612, 1008}, {1224, 792}, {792, 1224}};
    if (code < FOLIMO_PAGE_IMAGE || code > FOLIMO_PAGE_TABLOID)
        code = FOLIMO_PAGE_IMAGE;
    FolimoPageExtent e = kPortrait[code];
    return landscape ? FolimoPageExtent{e.height, e.width} : e;
}

// What IWatermark::GetType gives.
enum FolimoWatermarkType {
    FOLIMO_WATERMARK_TEXT = 1,
    FOLIMO_WATERMARK_IMAGE = 2,
};

struct IFolimoSettings : IBase {
    virtual int SetInfo(int index, const wchar_t* text) = 0;
    virtual const wchar_t* GetInfo(int index) = 0;
    virtual int SetCustomPageSize(int width, int height) = 0;
    virtual int GetCustomPageSize(int* width, int* height) = 0;
    virtual int SetPageSize(int code) = 0;
    virtual int GetPageSize() = 0;
    virtual int SetMargin(int side, int value) = 0;
    virtual int GetMargin(int side) = 0;
    virtual int SetImageEncode(int code) = 0;
    virtual int GetImageEncode() = 0;
    virtual int SetDefaultImageEncode(int code) = 0;
    virtual int GetDefaultImageEncode() = 0;
    virtual int SetJpegQuality(int percent) = 0;
    virtual int GetJpegQuality() = 0;
    virtual int SetImageMaxSize(int maxWidth, int maxHeight) = 0;
    virtual int GetImageMaxSize(int* maxWidth, int* maxHeight) = 0;
    virtual int SetDpi(int dpi) = 0;
    virtual int GetDpi() = 0;
    virtual int SetSplitImage(int flag) = 0;
    virtual int GetSplitImage() = 0;
    virtual int SetFillMultiImage(int flag) = 0;
    virtual int GetFillMultiImage() = 0;
    virtual int GetCreateBookmark() = 0;
    virtual int SetCreateBookmark(int flag) = 0;
    virtual int SetBookmarkText(const wchar_t* text) = 0;
    virtual const wchar_t* GetBookmarkText() = 0;
    virtual int GetRotatePage() = 0;
    virtual int SetRotatePage(int flag) = 0;
    virtual int GetDoublePage() = 0;
    virtual int SetDoublePage(int flag) = 0;
    virtual int GetWatermarkCount() = 0;
    virtual IWatermark* GetWatermark(int index) = 0;
    virtual int AddWatermark(IWatermark* watermark) = 0;
    virtual int RemoveWatermark(int index) = 0;
    virtual int GetImageInPage() = 0;
    virtual int SetImageInPage(int flag) = 0;
    virtual int GetImageAutoRotate() = 0;
    virtual int SetImageAutoRotate(int flag) = 0;
    // Text recognition: the languages of the invisible text laid over every image page,
    // Tesseract's names joined by '+' ("eng+chi_sim"); empty (the default) recognises
    // nothing. Imported PDF pages are never recognised.
    virtual int SetTextLanguages(const wchar_t* languages) = 0;
    virtual const wchar_t* GetTextLanguages() = 0;
    // 1: a recognised page whose text lies on its side or upside down is turned upright
    // (needs the orientation data "osd"); 0, the default, leaves it as it is.
    virtual int SetUprightByText(int flag) = 0;
    virtual int GetUprightByText() = 0;

protected:
    ~IFolimoSettings() = default;
};

// The fixed page of `s`: its custom size, else that of its page-size code; 0 x 0 when
// each page follows its image.
inline FolimoPageExtent FolimoFixedPageOf(IFolimoSettings& s) {
    int width = 0, height = 0;
    s.GetCustomPageSize(&width, &height);
    if (width != 0 && height != 0)
        return {width, height};
    return FolimoPageExtentOf(s.GetPageSize(), s.GetRotatePage() != 0);
}

// Whether the margins of `s` leave room for an image: none below 0, and on a fixed-size
// page (the custom size, else the page-size code) the two margins of each axis leave
// at least one point between them, in each half of the page on a page of two images.
// A page cut to its image has room whatever the margins of 0 or more.
inline bool FolimoMarginsLeaveRoom(IFolimoSettings& s) {
    long long m[4] = {};
    for (int side = FOLIMO_MARGIN_LEFT; side <= FOLIMO_MARGIN_BOTTOM; ++side)
        if ((m[side] = s.GetMargin(side)) < 0)
            return false;
    // No margins are never at fault, whatever the page (a page too small for any image is
    // the page size's fault).
    if (m[0] == 0 && m[1] == 0 && m[2] == 0 && m[3] == 0)
        return true;
    auto [width, height] = FolimoFixedPageOf(s);
    if (width == 0)
        return true;
    if (s.GetDoublePage())
        (s.GetRotatePage() ? width : height) /= 2;
    return width - m[FOLIMO_MARGIN_LEFT] - m[FOLIMO_MARGIN_RIGHT] >= 1 &&
           height - m[FOLIMO_MARGIN_TOP] - m[FOLIMO_MARGIN_BOTTOM] >= 1;
}

// Progress and errors of a run, implemented by the caller. The engine calls OnBegin,
// OnFile, OnEnd, OnError and IsCancelled; OnProgress and OnNotify are for the
// caller's own use.
struct IProcess {
    virtual int OnBegin(const wchar_t* outputPath) = 0;
    virtual int OnFile(const wchar_t* path, int loaded) = 0;
    virtual int OnEnd() = 0;
    virtual int OnProgress(std::int64_t done, std::int64_t total) = 0;
    virtual int OnError(const wchar_t* message) = 0;
    virtual int IsCancelled() = 0;
    virtual int OnNotify() = 0;

protected:
    ~IProcess() = default;
};

// What a failure reported to IProcessEx::OnErrorCode concerns, so that a caller can word
// it in its own language instead of showing the engine's text.
enum FolimoErrorCode {
    FOLIMO_ERROR_OTHER = 0,           // only the message tells
    FOLIMO_ERROR_INPUT = 1,           // an input file, or one of its pages, cannot be read
    FOLIMO_ERROR_WATERMARK_IMAGE = 2, // an image watermark cannot be used: told once a document
    FOLIMO_ERROR_OUTPUT = 3,          // the document cannot be created or written
    // The recognition data of a language is missing: `subject` is the language, `reason`
    // the Debian package that brings it. Told before any page is made; no document is.
    FOLIMO_ERROR_TEXT_DATA = 4,
    // A page's text could not be recognised: `subject` is the file. The page is kept
    // without text and the run goes on.
    FOLIMO_ERROR_RECOGNITION = 5,
};

// How a document ended (IProcessEx::OnDocumentEnd).
enum FolimoDocumentEnd {
    FOLIMO_DOCUMENT_WRITTEN = 0,
    FOLIMO_DOCUMENT_STOPPED = 1, // cancelled: a complete document of the pages made before
    FOLIMO_DOCUMENT_FAILED = 2,  // no document is left
};

// A caller whose IProcess also derives from this one is told more; the engine finds it
// with dynamic_cast on the callback given to Convert. A caller that implements only
// IProcess sees no difference.
struct IProcessEx : IProcess {
    // In place of OnError. `message` is the text OnError would have been given; `subject`
    // is the file the failure concerns (empty for FOLIMO_ERROR_OTHER) and `reason` the
    // library's own words for it.
    virtual int OnErrorCode(int code, const wchar_t* subject, const wchar_t* reason,
                            const wchar_t* message) = 0;
    // Once a document, just before OnEnd: a FolimoDocumentEnd, the pages the document
    // holds and the name it was written under (empty when none was).
    virtual int OnDocumentEnd(int how, int pages, const wchar_t* writtenPath) = 0;

protected:
    ~IProcessEx() = default;
};

// A caller whose IProcess also derives from this one hears how each image page's text
// was recognised (found with dynamic_cast, as IProcessEx).
struct IProcessText {
    // The run waits for the text of page `filePage` (from 0) of `path`, which lands on
    // page `documentPage`: recognition can take seconds a page, which a waiting person
    // should be told. Pages recognised ahead may be told in quick succession.
    virtual int OnPageTextBegin(int /*documentPage*/, const wchar_t* /*path*/, int /*filePage*/) {
        return 1;
    }
    // After the recognition of page `filePage` (from 0) of `path`, which lands on page
    // `documentPage` (from 1) of the document: the words found, or -1 when recognition
    // failed, and the clockwise quarter turns (0 to 3) that turned it upright by its text.
    virtual int OnPageText(int documentPage, const wchar_t* path, int filePage, int words,
                           int quarterTurns) = 0;

protected:
    ~IProcessText() = default;
};

// What the engine passes with every text it asks the caller to expand.
struct TextContext {
    std::int32_t kind; // 1 while a bookmark text is expanded, 0 for a watermark text
    const wchar_t* outputPath;
    const wchar_t* currentFile;
    std::int32_t pageCount; // 0 on the first page
    std::int32_t tag;
};

struct FolimoCallback {
    // The returned text belongs to the callback and stays valid until its next call.
    virtual const wchar_t* ExpandText(const wchar_t* text, TextContext* context) = 0;

protected:
    ~FolimoCallback() = default;
};

struct IFolimo : IBase {
    virtual int IsSupportedFile(const wchar_t* path) = 0;
    virtual int AddFile(const wchar_t* path, int tag) = 0;
    virtual int ClearFiles() = 0;
    virtual IFolimoSettings* GetSettings() = 0;
    virtual int CopySettings(IFolimoSettings* from) = 0;
    virtual int Convert(const wchar_t* outputPath, IProcess* callback) = 0;
    virtual FolimoCallback* SetTextCallback(FolimoCallback* callback) = 0;
    // The name the last Convert gave its document: the output path, or, when another
    // run took that name while this one wrote, the next free one with " (1)", " (2)",
    // ... before the extension. Empty when that Convert wrote no document.
    virtual const wchar_t* GetOutputPath() = 0;
    // The recognition data installed, Tesseract's names joined by '+' in alphabetical
    // order ("chi_sim+eng+osd"): the languages SetTextLanguages can take, and "osd" when
    // pages can be turned upright by their text. Read from TESSDATA_PREFIX when set,
    // else from the system's data folder.
    virtual const wchar_t* GetTextData() = 0;
    // AddFile for a file the person turned by `clockwiseDegrees` as shown (0, 90, 180 or
    // 270, or any of them plus whole turns): each of its pages is placed turned, a
    // picture's data unchanged. Returns 0, adding nothing, for any other angle.
    virtual int AddTurnedFile(const wchar_t* path, int tag, int clockwiseDegrees) = 0;

protected:
    ~IFolimo() = default;
};

struct IWatermark : IBase {
    virtual int SetPosition(int x, int y) = 0;
    virtual int GetPosition(int* x, int* y) = 0;
    virtual int SetOpacity(int percent) = 0;
    virtual int GetOpacity() = 0;
    virtual int SetAngle(int degrees) = 0;
    virtual int GetAngle() = 0;
    virtual IWatermark* Clone() = 0;
    virtual int GetType() = 0; // a FolimoWatermarkType
    virtual int SetFileFilter(const wchar_t* filter) = 0;
    virtual const wchar_t* GetFileFilter() = 0;

protected:
    ~IWatermark() = default;
};

struct ITextWatermark : IWatermark {
    virtual int SetText(const wchar_t* text) = 0;
    virtual const wchar_t* GetText() = 0;
    virtual int SetFontSize(int size) = 0;
    virtual int GetFontSize() = 0;
    virtual int SetColor(int color) = 0; // red in the lowest byte, then green, then blue
    virtual int GetColor() = 0;

protected:
    ~ITextWatermark() = default;
};

struct IImageWatermark : IWatermark {
    virtual int SetImagePath(const wchar_t* path) = 0;
    virtual const wchar_t* GetImagePath() = 0;

protected:
    ~IImageWatermark() = default;
};

// A decoded image of the imaging service. One object is used by one thread at a time.
struct IXImage : IBase {
    virtual int Load(const wchar_t* path) = 0; // 0, or E_FAIL
    virtual int SaveToMemory(void** data, int encoder, const wchar_t* type) = 0;
    virtual void FreeMemory(void* data) = 0;
    virtual int Reserved(void* unused) = 0;
    virtual int GetSize(int* width, int* height) = 0; // 0, or E_FAIL before a Load
    virtual int SetTargetSize(int width, int height) = 0;
    virtual int GetResolution() = 0;
    virtual int SetResolution(int dpi) = 0;
    virtual void SetGrayscale() = 0;
    virtual int SetQuality(int percent) = 0;

protected:
    ~IXImage() = default;
};

// Object kinds of CreateObject.
enum FolimoObjectKind {
    FOLIMO_ENGINE = 0,          // IFolimo
    FOLIMO_SETTINGS = 1,        // IFolimoSettings
    FOLIMO_TEXT_WATERMARK = 2,  // ITextWatermark
    FOLIMO_IMAGE_WATERMARK = 3, // IImageWatermark
    FOLIMO_IMAGE = 4,           // IXImage
};

// Stores a new object of the kind asked for in *out and returns 1. When memory cannot
// be had *out becomes null; for an unknown kind *out is left as it was, so set it to
// null before the call and test it after.
extern "C" int CreateObject(int kind, void** out) noexcept;
