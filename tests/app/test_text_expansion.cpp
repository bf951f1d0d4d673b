// Placeholders of bookmark and watermark texts, and free output names.
#include "OutputNames.h"
#include "TestSupport.h"
#include "TextExpansion.h"

#include <gtest/gtest.h>

#include <ctime>
#include <sys/stat.h>
#include <utime.h>

namespace {

using folimo::expandPlaceholders;

TEST(TextExpansion, NamesAreReplacedWithoutRegardToCase) {
    TextContext ctx{1, L"/out/doc.pdf", L"/photos/photo.2020.jpg", 4, 9};
    EXPECT_EQ(expandPlaceholders(L"%FILENAME%", ctx), L"photo");
    EXPECT_EQ(expandPlaceholders(L"p%number% of %FileName%", ctx), L"p5 of photo");
    EXPECT_EQ(expandPlaceholders(L"100%% sure", ctx), L"100% sure");
    EXPECT_EQ(expandPlaceholders(L"%OTHER%!", ctx), L"OTHER!");
    EXPECT_EQ(expandPlaceholders(L"cut %FILENAME", ctx), L"cut ");
    EXPECT_EQ(expandPlaceholders(L"", ctx), L"");
    TextContext noDot{0, L"", L"/a/README", 0, 0};
    EXPECT_EQ(expandPlaceholders(L"%FILENAME%", noDot), L"README");
}

TEST(TextExpansion, DateOfTheFileOrTheNameWhenItCannotBeRead) {
    folimo::test::TempDir dir;
    std::string path = dir.file("x.jpg");
    folimo::test::writeFile(path, "x");
    std::tm tm{};
    tm.tm_year = 2021 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 4;
    tm.tm_hour = 12;
    utimbuf times{std::mktime(&tm), std::mktime(&tm)};
    ASSERT_EQ(::utime(path.c_str(), &times), 0);
    std::wstring wpath = folimo::test::wide(path);
    TextContext ctx{0, L"", wpath.c_str(), 0, 0};
    EXPECT_EQ(expandPlaceholders(L"%MDATA%", ctx), L"2021/03/04");
    TextContext missing{0, L"", L"/no/such/file.jpg", 0, 0};
    EXPECT_EQ(expandPlaceholders(L"%mdata%", missing), L"mdata");
}

TEST(OutputNames, CounterBeforeTheExtensionOfTheFileName) {
    folimo::test::TempDir dir;
    std::wstring a = folimo::test::wide(dir.file("a.pdf"));
    EXPECT_EQ(folimo::freeOutputName(a), a);
    folimo::test::writeFile(dir.file("a.pdf"), "");
    EXPECT_EQ(folimo::freeOutputName(a), folimo::test::wide(dir.file("a (1).pdf")));
    folimo::test::writeFile(dir.file("a (1).pdf"), "");
    ::mkdir(dir.file("a (2).pdf").c_str(), 0700); // a folder counts too
    EXPECT_EQ(folimo::freeOutputName(a), folimo::test::wide(dir.file("a (3).pdf")));

    ::mkdir(dir.file("v1.2").c_str(), 0700);
    std::wstring noExt = folimo::test::wide(dir.file("v1.2/out"));
    folimo::test::writeFile(dir.file("v1.2/out"), "");
    EXPECT_EQ(folimo::freeOutputName(noExt), folimo::test::wide(dir.file("v1.2/out (1)")));
}

// A taken name at the file systems' limit of 255 bytes makes room for the counter at the
// end of its base: whole characters, the extension kept. The program's runs and the
// engine's late renames both name through here.
TEST(OutputNames, LongNamesMakeRoomForTheCounter) {
    folimo::test::TempDir dir;
    const auto repeat = [](const std::string& piece, int times) {
        std::string text;
        for (int i = 0; i < times; ++i)
            text += piece;
        return text;
    };
    const struct {
        std::string taken, expected;
    } cases[] = {
        {repeat("n", 247) + ".pdf", repeat("n", 247) + " (1).pdf"},
        {repeat("n", 248) + ".pdf", repeat("n", 247) + " (1).pdf"},
        {repeat("n", 251) + ".pdf", repeat("n", 247) + " (1).pdf"},
        {repeat("图", 83) + ".pdf", repeat("图", 82) + " (1).pdf"},             // 249 + 4 bytes
        {"a" + repeat("é", 125) + ".pdf", "a" + repeat("é", 123) + " (1).pdf"}, // 251 + 4
        {repeat("n", 255), repeat("n", 251) + " (1)"},
        {repeat("n", 200) + "." + repeat("x", 54), repeat("n", 196) + " (1)." + repeat("x", 54)},
    };
    for (const auto& c : cases) {
        folimo::test::writeFile(dir.file(c.taken), "");
        EXPECT_EQ(folimo::freeOutputName(folimo::test::wide(dir.file(c.taken))),
                  folimo::test::wide(dir.file(c.expected)))
            << c.taken.size();
        EXPECT_LE(c.expected.size(), 255u);
    }
}

} // namespace
