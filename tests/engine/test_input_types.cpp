// Every input type the program lists converts, unchanged or re-encoded, and a broken
// file of each type is reported once and skipped.
#include "ImageFixtures.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace folimo::test;

struct InputType {
    const char* extension;
    // How to make it: ImageMagick arguments, or a special maker below.
    const char* convertArguments;
};

const InputType kTypes[] = {
    {"bmp", "-size 48x32 gradient:red-blue BMP3:"},
    {"dib", "-size 48x32 gradient:red-blue BMP3:"},
    {"gif", "-size 48x32 gradient:red-blue GIF:"},
    {"png", "-size 48x32 gradient:red-blue PNG:"},
    {"psd", "-size 48x32 gradient:red-blue PSD:"},
    {"tif", "-size 48x32 gradient:red-blue TIFF:"},
    {"tiff", "-size 48x32 gradient:red-blue -compress zip TIFF:"},
    {"mng", "-size 48x32 gradient:red-blue MNG:"},
    {"raw", nullptr},
    {"jbig", nullptr},
    {"jpeg", "-size 48x32 gradient:red-blue JPEG:"},
    {"jpg", "-size 48x32 gradient:red-blue -interlace JPEG JPEG:"},
    {"jpe", "-size 48x32 gradient:red-blue -colorspace Gray JPEG:"},
    {"ico", "-size 48x32 gradient:red-blue -alpha set ICO:"},
    {"webp", "-size 48x32 gradient:red-blue WEBP:"},
    {"exif", "-size 48x32 gradient:red-blue -set exif:Software test JPEG:"},
};

std::string makeInput(const TempDir& dir, const InputType& type) {
    std::string path = dir.file(std::string("input.") + type.extension);
    if (type.convertArguments) {
        std::string arguments = type.convertArguments;
        // "FORMAT:" prefixes the output so the extension need not name the format.
        auto colon = arguments.rfind(' ');
        makeImage(arguments.substr(0, colon), arguments.substr(colon + 1) + path);
    } else if (std::string(type.extension) == "raw") {
        makeDng(path, 48, 32);
    } else {
        auto r = runCommand("convert -size 48x32 pattern:checkerboard -monochrome pbm:- | "
                            "pbmtojbg > " +
                            shellQuote(path));
        EXPECT_EQ(r.exitCode, 0) << r.output;
    }
    return path;
}

class EveryInputType : public ::testing::TestWithParam<InputType> {};

TEST_P(EveryInputType, ConvertsUnchangedAndReencoded) {
    TempDir dir;
    std::string input = makeInput(dir, GetParam());
    auto engine = createEngine();
    EXPECT_EQ(engine->IsSupportedFile(wide(input).c_str()), 1);
    engine->AddFile(wide(input).c_str(), 0);
    for (int unchanged = 0; unchanged < 2; ++unchanged) {
        engine->GetSettings()->SetImageMaxSize(unchanged ? -1 : 0, unchanged ? -1 : 0);
        std::string out = dir.file("out" + std::to_string(unchanged) + ".pdf");
        RecordingProcess process;
        ASSERT_EQ(engine->Convert(wide(out).c_str(), &process), 1);
        EXPECT_EQ(process.count("error"), 0) << process.events[1];
        EXPECT_EQ(process.count("file " + input + " 1"), 1);
        EXPECT_TRUE(qpdfCheckClean(out));
        auto sizes = pdfPageSizes(out);
        ASSERT_EQ(sizes.size(), 1u);
        EXPECT_EQ(sizes[0].width, 48);
        EXPECT_EQ(sizes[0].height, 32);
    }
}

TEST_P(EveryInputType, ABrokenFileIsReportedOnceAndSkipped) {
    TempDir dir;
    std::string whole = readFile(makeInput(dir, GetParam()));
    std::string broken = dir.file(std::string("broken.") + GetParam().extension);
    writeFile(broken, whole.substr(0, whole.size() / 3));
    std::string good = dir.file("good.png");
    makeImage("-size 10x10 xc:green", good);
    for (int unchanged = 0; unchanged < 2; ++unchanged) {
        auto engine = createEngine();
        engine->GetSettings()->SetImageMaxSize(unchanged ? -1 : 0, unchanged ? -1 : 0);
        engine->AddFile(wide(broken).c_str(), 0);
        engine->AddFile(wide(good).c_str(), 1);
        std::string out = dir.file("out" + std::to_string(unchanged) + ".pdf");
        RecordingProcess process;
        ASSERT_EQ(engine->Convert(wide(out).c_str(), &process), 1);
        EXPECT_EQ(process.count("error Error: "), 1);
        EXPECT_EQ(process.count("file " + broken + " 0"), 1);
        EXPECT_EQ(process.count("file " + good + " 1"), 1);
        EXPECT_EQ(pdfPageSizes(out).size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Types, EveryInputType, ::testing::ValuesIn(kTypes),
                         [](const ::testing::TestParamInfo<InputType>& info) {
                             return std::string(info.param.extension);
                         });

} // namespace
