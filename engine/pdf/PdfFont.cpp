#include "PdfFont.h"

#include "Deflate.h"
#include "PdfSyntax.h"
#include "PdfWriter.h"
#include "base/PdfError.h"

#include <fontconfig/fontconfig.h>
#include <hb-ot.h>
#include <hb-subset.h>
#include <hb.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <sys/stat.h>
#include <vector>

namespace folimo::pdf {

namespace {

[[noreturn]] void fail(const std::string& message) {
    throw PdfError(kErrFont, "", message);
}

struct BlobDeleter {
    void operator()(hb_blob_t* p) const { hb_blob_destroy(p); }
};
struct FaceDeleter {
    void operator()(hb_face_t* p) const { hb_face_destroy(p); }
};
struct FontDeleter {
    void operator()(hb_font_t* p) const { hb_font_destroy(p); }
};
struct SubsetInputDeleter {
    void operator()(hb_subset_input_t* p) const { hb_subset_input_destroy(p); }
};
struct PatternDeleter {
    void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
using Blob = std::unique_ptr<hb_blob_t, BlobDeleter>;
using Face = std::unique_ptr<hb_face_t, FaceDeleter>;
using Font = std::unique_ptr<hb_font_t, FontDeleter>;
using SubsetInput = std::unique_ptr<hb_subset_input_t, SubsetInputDeleter>;
struct ConfigDeleter {
    void operator()(FcConfig* p) const { FcConfigDestroy(p); }
};
using Pattern = std::unique_ptr<FcPattern, PatternDeleter>;
using Config = std::unique_ptr<FcConfig, ConfigDeleter>;

// Loaded once: scanning the font caches costs far more than a match. FcInit would keep
// a configuration that is never freed, which leak checkers report in every test.
FcConfig* fontconfig() {
    static Config config(FcInitLoadConfigAndFonts());
    return config.get();
}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool endsWithIgnoringCase(const std::string& s, std::string_view suffix) {
    if (s.size() < suffix.size())
        return false;
    for (std::size_t i = 0; i < suffix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - suffix.size() + i])) != suffix[i])
            return false;
    return true;
}

// Without this a mistyped file name would silently become fontconfig's default font.
bool looksLikePath(const std::string& s) {
    return s.find('/') != std::string::npos || endsWithIgnoringCase(s, ".ttf") ||
           endsWithIgnoringCase(s, ".otf") || endsWithIgnoringCase(s, ".ttc");
}

bool hasTable(hb_face_t* face, hb_tag_t tag) {
    Blob blob(hb_face_reference_table(face, tag));
    return hb_blob_get_length(blob.get()) > 0;
}

int readInt16(hb_blob_t* blob, unsigned offset) {
    unsigned length = 0;
    const char* data = hb_blob_get_data(blob, &length);
    if (!data || offset + 2 > length)
        return 0;
    auto value = static_cast<std::uint16_t>((static_cast<unsigned char>(data[offset]) << 8) |
                                            static_cast<unsigned char>(data[offset + 1]));
    return static_cast<std::int16_t>(value);
}

void appendUtf16(std::string& hex, char32_t c) {
    auto unit = [&hex](unsigned u) {
        static const char digits[] = "0123456789ABCDEF";
        for (int shift = 12; shift >= 0; shift -= 4)
            hex += digits[(u >> shift) & 15];
    };
    if (c >= 0x10000) {
        unsigned v = static_cast<unsigned>(c) - 0x10000;
        unit(0xD800 + (v >> 10));
        unit(0xDC00 + (v & 0x3FF));
    } else {
        unit(static_cast<unsigned>(c));
    }
}

std::string hex4(unsigned gid) {
    std::string s;
    appendUtf16(s, static_cast<char32_t>(gid));
    return s;
}

// A name object may hold anything, but readers show the base font name to people and
// some choke on odd bytes in it, so only the plain characters survive.
std::string cleanPostScriptName(const std::string& name) {
    std::string out;
    for (char c : name)
        if (c > 0x20 && c < 0x7f && !std::strchr("()<>[]{}/%#", c))
            out += c;
    return out.empty() ? "Font" : out;
}

// A subset face and its font program; the program's bytes live in `blob`.
struct Subset {
    Face face;
    Blob blob;
    std::string_view program;
};

} // namespace

FontLocation findFont(const std::string& familyOrPath) {
    if (familyOrPath.empty())
        fail("no font name given");
    if (isRegularFile(familyOrPath))
        return {familyOrPath, 0};
    auto comma = familyOrPath.rfind(',');
    if (comma != std::string::npos && comma + 1 < familyOrPath.size() &&
        familyOrPath.size() - comma <= 6 &&
        std::all_of(familyOrPath.begin() + static_cast<std::ptrdiff_t>(comma) + 1,
                    familyOrPath.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        std::string path = familyOrPath.substr(0, comma);
        if (isRegularFile(path))
            return {path, std::stoi(familyOrPath.substr(comma + 1))};
        if (looksLikePath(path))
            fail("font file not found: " + path);
    }
    if (looksLikePath(familyOrPath))
        fail("font file not found: " + familyOrPath);

    FcConfig* config = fontconfig();
    if (!config)
        fail("fontconfig could not be initialised");
    Pattern pattern(FcNameParse(reinterpret_cast<const FcChar8*>(familyOrPath.c_str())));
    if (!pattern)
        fail("not a font name: " + familyOrPath);
    // Text shown in the documents is largely Chinese; a Latin-only fallback would show
    // empty boxes.
    FcPatternAddString(pattern.get(), FC_LANG, reinterpret_cast<const FcChar8*>("zh-cn"));
    FcPatternAddBool(pattern.get(), FC_OUTLINE, FcTrue);
    FcConfigSubstitute(config, pattern.get(), FcMatchPattern);
    FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    Pattern match(FcFontMatch(config, pattern.get(), &result));
    if (!match || result != FcResultMatch)
        fail("no font found for " + familyOrPath);
    FcChar8* file = nullptr;
    int index = 0;
    FcBool outline = FcFalse;
    if (FcPatternGetString(match.get(), FC_FILE, 0, &file) != FcResultMatch || !file)
        fail("no font file found for " + familyOrPath);
    FcPatternGetInteger(match.get(), FC_INDEX, 0, &index);
    if (FcPatternGetBool(match.get(), FC_OUTLINE, 0, &outline) != FcResultMatch || !outline)
        fail("no outline font found for " + familyOrPath);
    // The upper bits name an instance of a variable font; the face is the lower ones.
    return {reinterpret_cast<const char*>(file), index & 0xFFFF};
}

struct PdfFont::Impl {
    std::string path;
    Blob blob;
    Face face;
    Font font;
    unsigned upem = 1000;
    bool trueType = true;
    std::map<unsigned, char32_t> used; // glyph id -> first code point shown with it
    std::map<unsigned, double> widths; // glyph id -> advance per 1000 em

    unsigned glyphOf(char32_t c) const {
        hb_codepoint_t gid = 0;
        if (!hb_font_get_nominal_glyph(font.get(), static_cast<hb_codepoint_t>(c), &gid))
            return 0;
        return gid;
    }
    double widthOf(unsigned gid) const {
        return hb_font_get_glyph_h_advance(font.get(), gid) * 1000.0 / upem;
    }
    double metric(hb_ot_metrics_tag_t tag, double fallback) const {
        hb_position_t value = 0;
        if (!hb_ot_metrics_get_position(font.get(), tag, &value))
            return fallback;
        return value * 1000.0 / upem;
    }

    // The steps of writing the font at the end of the document.
    Subset subset() const;
    std::string baseFontName() const;
    std::string widthsArray() const;
    std::string descriptorDictionary(const std::string& baseFont, int fontFile) const;
    std::string toUnicodeCMap() const;
};

PdfFont::PdfFont(const FontLocation& location) : impl_(std::make_unique<Impl>()) {
    Impl& f = *impl_;
    f.path = location.path;
    if (location.faceIndex < 0)
        fail("bad face index " + std::to_string(location.faceIndex) + " for " + location.path);
    f.blob.reset(hb_blob_create_from_file_or_fail(location.path.c_str()));
    if (!f.blob)
        fail("font file cannot be read: " + location.path);
    unsigned faces = hb_face_count(f.blob.get());
    if (faces == 0)
        fail("not a font file: " + location.path);
    if (static_cast<unsigned>(location.faceIndex) >= faces)
        fail("font file " + location.path + " has no face " + std::to_string(location.faceIndex));
    f.face.reset(hb_face_create(f.blob.get(), static_cast<unsigned>(location.faceIndex)));
    if (!f.face || hb_face_get_glyph_count(f.face.get()) == 0)
        fail("not a font file: " + location.path);
    if (hasTable(f.face.get(), HB_TAG('g', 'l', 'y', 'f')))
        f.trueType = true;
    else if (hasTable(f.face.get(), HB_TAG('C', 'F', 'F', ' ')))
        f.trueType = false;
    else
        fail("not an outline font (no TrueType or CFF outlines): " + location.path);
    f.upem = hb_face_get_upem(f.face.get());
    if (f.upem == 0)
        f.upem = 1000;
    f.font.reset(hb_font_create(f.face.get()));
    if (!f.font)
        fail("font cannot be opened: " + location.path);
}

PdfFont::~PdfFont() = default;

std::string PdfFont::encode(std::u32string_view text) {
    Impl& f = *impl_;
    std::string out;
    out.reserve(text.size() * 2);
    for (char32_t c : text) {
        unsigned gid = f.glyphOf(c);
        out += static_cast<char>((gid >> 8) & 0xFF);
        out += static_cast<char>(gid & 0xFF);
        // A lone surrogate or a value past Unicode has no UTF-16 form to copy out.
        bool mappable = c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
        if (gid != 0 && mappable)
            f.used.emplace(gid, c);
        if (!f.widths.count(gid))
            f.widths.emplace(gid, f.widthOf(gid));
    }
    return out;
}

// The content streams already hold the original glyph ids, so the subset must keep
// every glyph where it was.
Subset PdfFont::Impl::subset() const {
    SubsetInput input(hb_subset_input_create_or_fail());
    if (!input)
        fail("out of memory subsetting " + path);
    hb_set_t* glyphs = hb_subset_input_glyph_set(input.get());
    hb_set_add(glyphs, 0);
    for (const auto& [gid, width] : widths)
        hb_set_add(glyphs, gid);
    hb_subset_input_set_flags(input.get(), HB_SUBSET_FLAGS_RETAIN_GIDS |
                                               HB_SUBSET_FLAGS_NO_HINTING |
                                               HB_SUBSET_FLAGS_NOTDEF_OUTLINE);
    // A PDF reader draws glyph ids straight from the outlines: layout tables and
    // bitmap strikes would only add size (and pull in glyphs through their closure).
    hb_set_t* dropped = hb_subset_input_set(input.get(), HB_SUBSET_SETS_DROP_TABLE_TAG);
    for (hb_tag_t tag :
         {HB_TAG('G', 'S', 'U', 'B'), HB_TAG('G', 'P', 'O', 'S'), HB_TAG('G', 'D', 'E', 'F'),
          HB_TAG('B', 'A', 'S', 'E'), HB_TAG('J', 'S', 'T', 'F'), HB_TAG('M', 'A', 'T', 'H'),
          HB_TAG('k', 'e', 'r', 'n'), HB_TAG('m', 'o', 'r', 'x'), HB_TAG('k', 'e', 'r', 'x'),
          HB_TAG('E', 'B', 'D', 'T'), HB_TAG('E', 'B', 'L', 'C'), HB_TAG('E', 'B', 'S', 'C'),
          HB_TAG('C', 'B', 'D', 'T'), HB_TAG('C', 'B', 'L', 'C'), HB_TAG('s', 'b', 'i', 'x'),
          HB_TAG('b', 'd', 'a', 't'), HB_TAG('b', 'l', 'o', 'c'), HB_TAG('D', 'S', 'I', 'G'),
          HB_TAG('h', 'd', 'm', 'x'), HB_TAG('L', 'T', 'S', 'H'), HB_TAG('V', 'D', 'M', 'X')})
        hb_set_add(dropped, tag);
    Subset result;
    result.face.reset(hb_subset_or_fail(face.get(), input.get()));
    if (!result.face)
        fail("font cannot be subset: " + path);
    result.blob.reset(hb_face_reference_blob(result.face.get()));
    unsigned length = 0;
    const char* data = hb_blob_get_data(result.blob.get(), &length);
    if (!data || length == 0)
        fail("font cannot be subset: " + path);
    result.program = std::string_view(data, length);
    return result;
}

// The subset tag is made from the glyphs: same glyphs, same tag, so the output does not
// change from one run to the next.
std::string PdfFont::Impl::baseFontName() const {
    std::uint32_t hash = 2166136261u;
    for (const auto& [gid, width] : widths) {
        hash = (hash ^ (gid & 0xFF)) * 16777619u;
        hash = (hash ^ (gid >> 8)) * 16777619u;
    }
    std::string tag;
    for (int i = 0; i < 6; ++i) {
        tag += static_cast<char>('A' + hash % 26);
        hash /= 26;
        hash = hash * 2654435761u + static_cast<std::uint32_t>(i);
    }
    char nameBuffer[128] = {};
    unsigned nameSize = sizeof nameBuffer;
    hb_ot_name_get_utf8(face.get(), HB_OT_NAME_ID_POSTSCRIPT_NAME, HB_LANGUAGE_INVALID, &nameSize,
                        nameBuffer);
    return pdfName(tag + "+" + cleanPostScriptName(nameBuffer));
}

// Runs of consecutive glyph ids share one array, which keeps /W short for text in
// scripts whose glyphs sit next to each other.
std::string PdfFont::Impl::widthsArray() const {
    std::string w = "[";
    for (auto it = widths.begin(); it != widths.end();) {
        unsigned first = it->first;
        w += std::to_string(first) + " [";
        unsigned expected = first;
        bool firstInRun = true;
        while (it != widths.end() && it->first == expected) {
            if (!firstInRun)
                w += ' ';
            w += pdfReal(it->second);
            firstInRun = false;
            ++expected;
            ++it;
        }
        w += "] ";
    }
    if (w.back() == ' ')
        w.pop_back();
    w += "]";
    return w;
}

std::string PdfFont::Impl::descriptorDictionary(const std::string& baseFont, int fontFile) const {
    Blob head(hb_face_reference_table(face.get(), HB_TAG('h', 'e', 'a', 'd')));
    auto scaled = [this](double v) { return pdfReal(std::round(v * 1000.0 / upem)); };
    int xMin = readInt16(head.get(), 36), yMin = readInt16(head.get(), 38);
    int xMax = readInt16(head.get(), 40), yMax = readInt16(head.get(), 42);
    double ascent = metric(HB_OT_METRICS_TAG_HORIZONTAL_ASCENDER, yMax * 1000.0 / upem);
    double descent = metric(HB_OT_METRICS_TAG_HORIZONTAL_DESCENDER, yMin * 1000.0 / upem);
    double capHeight = metric(HB_OT_METRICS_TAG_CAP_HEIGHT, ascent);
    if (capHeight <= 0)
        capHeight = ascent;
    return "<< /Type /FontDescriptor /FontName " + baseFont + " /Flags 4 /FontBBox [" +
           scaled(xMin) + " " + scaled(yMin) + " " + scaled(xMax) + " " + scaled(yMax) +
           "] /ItalicAngle 0 /Ascent " + pdfReal(std::round(ascent)) + " /Descent " +
           pdfReal(std::round(descent)) + " /CapHeight " + pdfReal(std::round(capHeight)) +
           " /StemV 80 " + (trueType ? "/FontFile2 " : "/FontFile3 ") + std::to_string(fontFile) +
           " 0 R >>";
}

std::string PdfFont::Impl::toUnicodeCMap() const {
    std::string cmap = "/CIDInit /ProcSet findresource begin\n"
                       "12 dict begin\n"
                       "begincmap\n"
                       "/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) /Supplement 0 >> def\n"
                       "/CMapName /Adobe-Identity-UCS def\n"
                       "/CMapType 2 def\n"
                       "1 begincodespacerange\n<0000> <FFFF>\nendcodespacerange\n";
    std::vector<std::pair<unsigned, char32_t>> entries(used.begin(), used.end());
    for (std::size_t start = 0; start < entries.size(); start += 100) {
        std::size_t end = std::min(entries.size(), start + 100);
        cmap += std::to_string(end - start) + " beginbfchar\n";
        for (std::size_t i = start; i < end; ++i) {
            cmap += "<" + hex4(entries[i].first) + "> <";
            appendUtf16(cmap, entries[i].second);
            cmap += ">\n";
        }
        cmap += "endbfchar\n";
    }
    cmap += "endcmap\n"
            "CMapName currentdict /CMap defineresource pop\n"
            "end\n"
            "end\n";
    return cmap;
}

void PdfFont::write(PdfWriter& writer, int number) {
    const Impl& f = *impl_;
    const Subset subset = f.subset();
    const std::string baseFont = f.baseFontName();

    int descendant = writer.newObjectNumber();
    int descriptor = writer.newObjectNumber();
    int fontFile = writer.newObjectNumber();
    int toUnicode = writer.newObjectNumber();

    writer.beginObject(number);
    writer.write("<< /Type /Font /Subtype /Type0 /BaseFont " + baseFont +
                 " /Encoding /Identity-H /DescendantFonts [" + std::to_string(descendant) +
                 " 0 R] /ToUnicode " + std::to_string(toUnicode) + " 0 R >>");
    writer.endObject();

    writer.beginObject(descendant);
    writer.write(std::string("<< /Type /Font /Subtype ") +
                 (f.trueType ? "/CIDFontType2" : "/CIDFontType0") + " /BaseFont " + baseFont +
                 " /CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) /Supplement 0 >>"
                 " /FontDescriptor " +
                 std::to_string(descriptor) + " 0 R /DW 1000 /W " + f.widthsArray() +
                 (f.trueType ? " /CIDToGIDMap /Identity" : "") + " >>");
    writer.endObject();

    writer.beginObject(descriptor);
    writer.write(f.descriptorDictionary(baseFont, fontFile));
    writer.endObject();

    std::string compressed = deflateBytes(subset.program);
    if (f.trueType)
        writer.writeStreamObject(
            fontFile, " /Filter /FlateDecode /Length1 " + std::to_string(subset.program.size()),
            compressed);
    else
        writer.writeStreamObject(fontFile, " /Subtype /OpenType /Filter /FlateDecode", compressed);

    writer.writeStreamObject(toUnicode, " /Filter /FlateDecode", deflateBytes(f.toUnicodeCMap()));
}

} // namespace folimo::pdf
