// HEIC (heif-enc) and AVIF (avifenc) photographs made at run time from a PNG of the
// fixture pattern, through folimo-cli: the page shows what libheif's heif-convert
// decodes, upright, and what ImageMagick makes of the source turned as the file says.
#include "ImageFixtures.h"
#include "TestSupport.h"
#include "imaging/Codecs.h"

#include <gtest/gtest.h>

namespace {

using namespace folimo::test;
namespace fi = folimo::imaging;

bool have(const std::string& tool) {
    return runCommand("command -v " + tool).exitCode == 0;
}
void sh(const std::string& command) {
    if (CommandResult r = runCommand(command); r.exitCode != 0)
        throw std::runtime_error(command + ": " + r.output);
}
std::size_t be(const std::string& f, std::size_t at, int n) {
    std::size_t v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | std::uint8_t(f.at(at + i));
    return v;
}
void putBe(std::string& f, std::size_t at, int n, std::size_t v) {
    for (int i = n - 1; i >= 0; --i, v >>= 8)
        f.at(at + i) = char(v & 0xFF);
}

// heif-enc has no irot/imir option: added to its one picture as a phone writes them, at
// the end of ipco with their indices on the picture's ipma entry. meta grows, so the
// boxes around and the items' base offsets into mdat move along.
std::string addTransforms(std::string f, const std::string& props) {
    auto box = [&](const char* type) { return f.find(type) - 4; };
    const std::size_t n = props.size() / 9, grow = props.size() + n, iloc = box("iloc"),
                      ipco = box("ipco"), ipma = box("ipma");
    // iloc version 0 with 4-byte offsets, lengths and base offsets; ipma of one entry
    if (be(f, iloc + 8, 6) != 0x4440 || be(f, ipma + 8, 8) != 1)
        throw std::runtime_error("heif-enc's layout has changed");
    for (std::size_t at = iloc + 16, items = be(f, iloc + 14, 2); items--;
         at += 10 + 8 * be(f, at + 8, 2)) // item, reference, base offset, extent count
        putBe(f, at + 4, 4, be(f, at + 4, 4) + grow);
    std::size_t count = 0;
    for (std::size_t at = ipco + 8; at < ipco + be(f, ipco, 4); at += be(f, at, 4))
        ++count;
    for (std::size_t i = 1; i <= n; ++i) // essential
        f.insert(f.begin() + ipma + 18 + f[ipma + 18] + i, char(0x80 | (count + i)));
    f[ipma + 18] = char(f[ipma + 18] + n);
    f.insert(ipco + be(f, ipco, 4), props);
    for (auto [where, more] : {std::pair{ipco, props.size()},
                               {ipma + props.size(), n},
                               {box("iprp"), grow},
                               {box("meta"), grow}})
        putBe(f, where, 4, be(f, where, 4) + more);
    return f;
}

struct Variant {
    const char* name;
    PngParams png;  // its size is 96 x 64
    int irot, imir; // -1: none; irot quarter turns anticlockwise, imir 0 top-bottom, 1 left-right
    bool exif;      // the source also says the turn as EXIF Orientation 6, as phones do
    const char* shown; // ImageMagick's arguments for the source shown as the file means
};
void PrintTo(const Variant& v, std::ostream* os) {
    *os << v.name;
}
const Variant kVariants[] = {
    {"plain", {}, -1, -1, false, ""},
    {"alpha", {.color = PngColor::RgbAlpha, .alpha = PngAlpha::Partial}, -1, -1, false, ""},
    {"deep", {.bitDepth = 16}, -1, -1, false, ""},
    {"profile", {.iccProfile = makeIccProfile(IccModel::Rgb)}, -1, -1, false, ""},
    {"turned", {}, 1, 1, false, "-rotate -90 -flop"},
    {"phone", {}, 3, -1, true, "-rotate 90"},
};

class HeifInput : public ::testing::TestWithParam<std::tuple<std::string, Variant>> {};

TEST_P(HeifInput, ConvertsUprightAsLibheifDecodesIt) {
    const auto& [format, v] = GetParam();
    const bool heic = format == "heic";
    for (const char* tool : {heic ? "heif-enc" : "avifenc", "heif-convert"})
        if (!have(tool))
            GTEST_SKIP() << tool << " is not installed";
    TempDir dir;
    PngParams params = v.png;
    params.width = 96;
    params.height = 64;
    std::string png = makePng(params), props, turn;
    if (v.exif) // a TIFF structure of one entry: Orientation (0x112) = 6
        png = insertPngChunkBeforeData(
            png, "eXIf",
            std::string("II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06", 19) +
                std::string(7, '\0'));
    for (auto [type, value] : {std::pair<std::string, int>{"irot", v.irot}, {"imir", v.imir}})
        if (value >= 0) {
            props += std::string("\0\0\0\x09", 4) + type + char(value);
            turn += " --" + type + " " + std::to_string(value);
        }
    const std::string source = dir.file("source.png"), input = dir.file("photo." + format),
                      decoded = dir.file("libheif.png"), shown = dir.file("shown.png");
    writeFile(source, png);
    sh(heic ? "heif-enc -q 92 -o " + shellQuote(input) + " " + shellQuote(source)
            : "avifenc -s 9 --min 4 --max 8" + turn + " " + shellQuote(source) + " " +
                  shellQuote(input));
    if (heic && !props.empty())
        writeFile(input, addTransforms(readFile(input), props));
    sh("heif-convert " + shellQuote(input) + " " + shellQuote(decoded));
    makeImage(shellQuote(source) + " " + v.shown, shown);
    const Raster libheif = decodeReference(decoded), turned = decodeReference(shown);
    ASSERT_EQ(libheif.width, v.irot % 2 == 1 ? 64 : 96);

    const std::string bytes = readFile(input);
    const fi::Bitmap b = fi::decode(bytesOf(bytes));
    EXPECT_EQ(fi::detectFormat(bytesOf(bytes)),
              heic ? fi::ImageFormat::Heif : fi::ImageFormat::Avif);
    EXPECT_EQ(fi::hasAlpha(b.format), v.png.color == PngColor::RgbAlpha);
    EXPECT_EQ(fi::bitsPerPixel(b.format) > 32, v.png.bitDepth == 16); // 16 bits a sample
    EXPECT_EQ(b.iccProfile, v.png.iccProfile);
    for (const std::string how : {"", "--encode unchanged"}) {
        SCOPED_TRACE(how);
        const std::string out = dir.file("out" + std::to_string(how.size()) + ".pdf");
        CliResult r = runCli(dir, how + " -o " + shellQuote(out) + " " + shellQuote(input));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(qpdfCheckClean(out));
        const Raster page = renderPage(out, 1, 72);
        ASSERT_EQ(page.width, libheif.width);
        ASSERT_EQ(page.height, libheif.height);
        EXPECT_GT(psnr(page, libheif), 30); // JPEG at quality 30 gives 32 to 36 dB
        EXPECT_GT(psnr(page, turned), 30);
    }
}

INSTANTIATE_TEST_SUITE_P(Heif, HeifInput,
                         ::testing::Combine(::testing::Values("heic", "avif"),
                                            ::testing::ValuesIn(kVariants)),
                         [](const auto& info) {
                             return std::get<0>(info.param) + "_" + std::get<1>(info.param).name;
                         });

TEST(HeifInputs, DamagedAndOversizedFilesAreReportedAndTheRunGoesOn) {
    if (!have("heif-enc"))
        GTEST_SKIP() << "heif-enc is not installed";
    TempDir dir;
    writeFile(dir.file("a.png"), makePng({}));
    sh("heif-enc -o " + shellQuote(dir.file("a.heic")) + " " + shellQuote(dir.file("a.png")));
    const std::string whole = readFile(dir.file("a.heic")), good = dir.file("good.jpg");
    std::string huge = whole; // every ispe box claims 30000 x 30000; the pixels stay small
    for (std::size_t at = huge.find("ispe"); at != std::string::npos;
         at = huge.find("ispe", at + 1))
        for (std::size_t side : {8, 12})
            putBe(huge, at + side, 4, 30000);
    writeFile(good, makeJpeg({}));
    const std::pair<std::string, std::string> cases[] = {
        {whole.substr(0, whole.size() * 2 / 3), "the HEIF file is damaged"},
        {huge, "the image is too large (30000 x 30000 pixels)"}};
    for (const auto& [bytes, says] : cases) {
        const std::string bad = dir.file(std::to_string(bytes.size()) + ".heic"),
                          out = bad + ".pdf";
        writeFile(bad, bytes);
        CliResult r =
            runCli(dir, "-o " + shellQuote(out) + " " + shellQuote(bad) + " " + shellQuote(good));
        EXPECT_EQ(r.exitCode, 3) << r.err;
        EXPECT_NE(r.err.find("'" + bad + "': " + says), std::string::npos) << r.err;
        EXPECT_EQ(pdfPageSizes(out).size(), 1u);
    }
}

TEST(HeifInputs, PremultipliedColourComesBackStraight) {
    if (!have("avifenc"))
        GTEST_SKIP() << "avifenc is not installed";
    TempDir dir;
    const PngParams p{.color = PngColor::RgbAlpha, .alpha = PngAlpha::Partial};
    const std::string png = dir.file("a.png"), avif = dir.file("a.avif");
    writeFile(png, makePng(p));
    sh("avifenc -l -p " + shellQuote(png) + " " + shellQuote(avif));
    const fi::Bitmap b = fi::decode(bytesOf(readFile(avif)));
    int worst = 0; // where alpha is high: below, premultiplying has lost bits of the colour
    for (int y = 0; y < b.height; ++y)
        for (int x = 0; x < b.width; ++x)
            if (const std::uint8_t* px = b.row(y) + 4 * x; px[3] >= 128)
                worst = std::max(worst, std::abs(px[0] - expectedPngRgb(p, x, y).r));
    EXPECT_LE(worst, 3);
}

TEST(HeifInputs, RecognisedByTheBrandsOfTheFileTypeBox) {
    using F = fi::ImageFormat;
    const std::pair<std::string, F> cases[] = {
        // major, minor version, compatible brands
        {"heic....mif1heic", F::Heif},   {"mif1....mif1miafavif", F::Avif},
        {"avis....msf1", F::Avif},       {"msf1....msf1hevc", F::Heif},
        {"mif1....mif1", F::Heif},       {"isom....isomavc1", F::Unknown},
        {"crx ....crx isom", F::Unknown}};
    for (const auto& [brands, ftyp] : cases) // an 8 + brands.size() byte box, then zeros
        EXPECT_EQ(fi::detectFormat(bytesOf(std::string(3, '\0') + char(8 + brands.size()) + "ftyp" +
                                           brands + std::string(64, '\0'))),
                  ftyp)
            << brands;
}

} // namespace
