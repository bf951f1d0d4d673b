#include "GlyphlessFont.h"

#include "Deflate.h"
#include "PdfWriter.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace folimo::pdf {

namespace {

constexpr unsigned kMaxCode = 0xFFFF;

void put16(std::string& out, unsigned value) {
    out += static_cast<char>((value >> 8) & 0xFF);
    out += static_cast<char>(value & 0xFF);
}

void put32(std::string& out, std::uint32_t value) {
    put16(out, value >> 16);
    put16(out, value & 0xFFFF);
}

// Signed 16-bit values are stored in two's complement.
void putSigned16(std::string& out, int value) {
    put16(out, static_cast<unsigned>(value) & 0xFFFF);
}

// The sum of a table's big-endian 32-bit words, the table padded with zeros.
std::uint32_t checksum(std::string_view data) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < data.size(); i += 4) {
        std::uint32_t word = 0;
        for (std::size_t k = 0; k < 4; ++k)
            word =
                (word << 8) | (i + k < data.size() ? static_cast<unsigned char>(data[i + k]) : 0);
        sum += word;
    }
    return sum;
}

std::string hex4(unsigned value) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (int shift = 12; shift >= 0; shift -= 4)
        s += digits[(value >> shift) & 15];
    return s;
}

std::string utf16Hex(char32_t c) {
    if (c < 0x10000)
        return hex4(static_cast<unsigned>(c));
    unsigned v = static_cast<unsigned>(c) - 0x10000;
    return hex4(0xD800 + (v >> 10)) + hex4(0xDC00 + (v & 0x3FF));
}

std::string headTable() {
    std::string t;
    put32(t, 0x00010000); // version
    put32(t, 0x00010000); // font revision
    put32(t, 0);          // checksum adjustment, set once the file is whole
    put32(t, 0x5F0F3CF5); // magic number
    put16(t, 0x000B);     // baseline at y 0, integer scaling
    put16(t, 1000);       // units per em, the PDF's own glyph space
    t.append(16, '\0');   // created, modified
    putSigned16(t, 0);    // xMin
    putSigned16(t, -GlyphlessFont::kDescent);
    putSigned16(t, GlyphlessFont::kAdvance);
    putSigned16(t, GlyphlessFont::kAscent);
    put16(t, 0);       // mac style
    put16(t, 8);       // smallest readable size in pixels
    putSigned16(t, 2); // font direction hint
    putSigned16(t, 0); // short loca offsets
    putSigned16(t, 0); // glyph data format
    return t;
}

std::string hheaTable() {
    std::string t;
    put32(t, 0x00010000);
    putSigned16(t, GlyphlessFont::kAscent);
    putSigned16(t, -GlyphlessFont::kDescent);
    putSigned16(t, 0); // line gap
    put16(t, GlyphlessFont::kAdvance);
    putSigned16(t, 0); // min left side bearing
    putSigned16(t, 0); // min right side bearing
    putSigned16(t, 0); // x max extent
    putSigned16(t, 1); // caret slope rise: upright
    putSigned16(t, 0); // caret slope run
    putSigned16(t, 0); // caret offset
    t.append(8, '\0'); // reserved
    putSigned16(t, 0); // metric data format
    put16(t, 1);       // one advance serves every glyph
    return t;
}

std::string maxpTable(unsigned glyphs) {
    std::string t;
    put32(t, 0x00010000);
    put16(t, glyphs);
    // No points, contours, instructions or components; two zones as the format asks.
    for (unsigned value : {0u, 0u, 0u, 0u, 2u, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u})
        put16(t, value);
    return t;
}

std::string hmtxTable(unsigned glyphs) {
    std::string t;
    put16(t, GlyphlessFont::kAdvance);
    putSigned16(t, 0);
    t.append(2 * static_cast<std::size_t>(glyphs - 1), '\0'); // left side bearings
    return t;
}

} // namespace

std::string GlyphlessFont::fontProgram(unsigned glyphs) {
    // Every glyph starts and ends at offset 0 of an empty glyf table: it has no outline.
    const std::array<std::pair<const char*, std::string>, 6> tables{{
        {"glyf", std::string()},
        {"head", headTable()},
        {"hhea", hheaTable()},
        {"hmtx", hmtxTable(glyphs)},
        {"loca", std::string(2 * static_cast<std::size_t>(glyphs + 1), '\0')},
        {"maxp", maxpTable(glyphs)},
    }};
    constexpr unsigned kTables = tables.size();
    std::string file;
    put32(file, 0x00010000);
    put16(file, kTables);
    put16(file, 4 * 16); // search range: the largest power of 2 tables, times 16
    put16(file, 2);      // its log 2
    put16(file, kTables * 16 - 4 * 16);
    std::size_t offset = 12 + 16 * kTables;
    std::size_t headOffset = 0;
    for (const auto& [tag, data] : tables) {
        file.append(tag, 4);
        put32(file, checksum(data));
        put32(file, static_cast<std::uint32_t>(offset));
        put32(file, static_cast<std::uint32_t>(data.size()));
        if (std::string_view(tag) == "head")
            headOffset = offset;
        offset += (data.size() + 3) / 4 * 4;
    }
    for (const auto& [tag, data] : tables) {
        file += data;
        file.append((4 - data.size() % 4) % 4, '\0');
    }
    std::string adjustment;
    put32(adjustment, 0xB1B0AFBA - checksum(file));
    file.replace(headOffset + 8, 4, adjustment);
    return file;
}

std::string GlyphlessFont::encode(std::u32string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (char32_t c : text) {
        // A lone surrogate or a value past Unicode has no UTF-16 form to copy out.
        const bool mappable = c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
        unsigned code = 0;
        if (auto known = codes_.find(c); known != codes_.end())
            code = known->second;
        else if (mappable && codes_.size() + 1 < kMaxCode)
            code = codes_.emplace(c, static_cast<unsigned>(codes_.size() + 1)).first->second;
        put16(out, code);
    }
    return out;
}

std::string GlyphlessFont::toUnicodeCMap() const {
    std::vector<std::pair<unsigned, char32_t>> entries;
    entries.reserve(codes_.size());
    for (const auto& [c, code] : codes_)
        entries.emplace_back(code, c);
    std::sort(entries.begin(), entries.end());
    std::string cmap = "/CIDInit /ProcSet findresource begin\n"
                       "12 dict begin\n"
                       "begincmap\n"
                       "/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) /Supplement 0 >> def\n"
                       "/CMapName /Adobe-Identity-UCS def\n"
                       "/CMapType 2 def\n"
                       "1 begincodespacerange\n<0000> <FFFF>\nendcodespacerange\n";
    // A CMap section holds at most 100 entries.
    for (std::size_t start = 0; start < entries.size(); start += 100) {
        const std::size_t end = std::min(entries.size(), start + 100);
        cmap += std::to_string(end - start) + " beginbfchar\n";
        for (std::size_t i = start; i < end; ++i)
            cmap += "<" + hex4(entries[i].first) + "> <" + utf16Hex(entries[i].second) + ">\n";
        cmap += "endbfchar\n";
    }
    cmap += "endcmap\n"
            "CMapName currentdict /CMap defineresource pop\n"
            "end\n"
            "end\n";
    return cmap;
}

void GlyphlessFont::write(PdfWriter& writer, int number) const {
    const int descendant = writer.newObjectNumber();
    const int descriptor = writer.newObjectNumber();
    const int fontFile = writer.newObjectNumber();
    const int toUnicode = writer.newObjectNumber();
    const std::string advance = std::to_string(kAdvance);
    const std::string descent = "-" + std::to_string(kDescent);
    const std::string ascent = std::to_string(kAscent);

    writer.beginObject(number);
    writer.write("<< /Type /Font /Subtype /Type0 /BaseFont /InvisibleText /Encoding /Identity-H"
                 " /DescendantFonts [" +
                 std::to_string(descendant) + " 0 R] /ToUnicode " + std::to_string(toUnicode) +
                 " 0 R >>");
    writer.endObject();

    writer.beginObject(descendant);
    writer.write("<< /Type /Font /Subtype /CIDFontType2 /BaseFont /InvisibleText"
                 " /CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) /Supplement 0 >>"
                 " /FontDescriptor " +
                 std::to_string(descriptor) + " 0 R /DW " + advance + " /CIDToGIDMap /Identity >>");
    writer.endObject();

    writer.beginObject(descriptor);
    writer.write("<< /Type /FontDescriptor /FontName /InvisibleText /Flags 4 /FontBBox [0 " +
                 descent + " " + advance + " " + ascent + "] /ItalicAngle 0 /Ascent " + ascent +
                 " /Descent " + descent + " /CapHeight " + ascent + " /StemV 80 /FontFile2 " +
                 std::to_string(fontFile) + " 0 R >>");
    writer.endObject();

    const std::string program = fontProgram(static_cast<unsigned>(codes_.size()) + 1);
    writer.writeStreamObject(fontFile,
                             "/Filter /FlateDecode /Length1 " + std::to_string(program.size()),
                             deflateBytes(program));
    writer.writeStreamObject(toUnicode, "/Filter /FlateDecode", deflateBytes(toUnicodeCMap()));
}

} // namespace folimo::pdf
