// Conversion runs: the list split into documents by mode, and the documents written
// under free names with the engine, stopped midway or not.
#include "ConversionJob.h"
#include "ConversionProgress.h"
#include "TestSupport.h"
#include "TextExpansion.h"

#include <folimo/WideText.h>

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>

namespace {

using folimo::ConversionJob;
using folimo::ConversionMode;
using namespace folimo::test;

std::vector<std::vector<std::string>> shape(const std::vector<ConversionJob>& jobs) {
    std::vector<std::vector<std::string>> out;
    for (const auto& job : jobs) {
        std::vector<std::string> row{folimo::toUtf8(job.output)};
        for (const auto& input : job.inputs)
            row.push_back(folimo::toUtf8(input.path));
        out.push_back(row);
    }
    return out;
}

TEST(ConversionJobs, SplitByModeWithFolderAndBaseNames) {
    const struct {
        const char* what;
        ConversionMode mode;
        std::vector<std::wstring> paths;
        std::wstring output;
        std::vector<std::vector<std::string>> jobs; // output, then inputs
    } cases[] = {
        {"single",
         ConversionMode::Single,
         {L"/p/a.jpg", L"/q/b.png"},
         L"/out/all.pdf",
         {{"/out/all.pdf", "/p/a.jpg", "/q/b.png"}}},
        {"single, nothing", ConversionMode::Single, {}, L"/out/all.pdf", {}},
        {"per folder across letter case",
         ConversionMode::PerFolder,
         {L"/C/A/x.jpg", L"/D/B/y.jpg", L"/C/a/z.jpg"},
         L"/out/",
         {{"/out/A.pdf", "/C/A/x.jpg", "/C/a/z.jpg"}, {"/out/B.pdf", "/D/B/y.jpg"}}},
        {"per folder, root and bare names",
         ConversionMode::PerFolder,
         {L"/x.jpg", L"y.jpg"},
         L"/out",
         {{"/out/root.pdf", "/x.jpg"}, {"/out/y.pdf", "y.jpg"}}},
        {"per image beside",
         ConversionMode::PerImage,
         {L"/pics/a.jpg", L"/pics/photo.2020.jpg", L"/pics/noext"},
         L"",
         {{"/pics/a.pdf", "/pics/a.jpg"},
          {"/pics/photo.2020.pdf", "/pics/photo.2020.jpg"},
          {"/pics/noext.pdf", "/pics/noext"}}},
        {"per image into a folder",
         ConversionMode::PerImage,
         {L"/pics/a.jpg"},
         L"/out/",
         {{"/out/a.pdf", "/pics/a.jpg"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(shape(folimo::SplitIntoJobs(c.paths, c.mode, c.output)), c.jobs);
    }
    // The base name keeps inner dots, while the bookmark's FILENAME stops at the first.
    TextContext context{1, L"", L"/pics/photo.2020.jpg", 0, 0};
    EXPECT_EQ(folimo::BaseNameOf(L"/pics/photo.2020.jpg"), L"photo.2020");
    EXPECT_EQ(folimo::expandPlaceholders(L"%FILENAME%", context), L"photo");
}

class ConversionRun : public ::testing::Test {
protected:
    void SetUp() override {
        engine = createEngine();
        for (int i = 1; i <= 5; ++i) {
            const std::string path = dir.file("pics/p" + std::to_string(i) + ".png");
            std::filesystem::create_directories(dir.file("pics"));
            makeImage("-size 30x20 xc:blue", path);
            paths.push_back(folimo::fromUtf8(path));
        }
    }
    std::vector<std::wstring> run(ConversionMode mode, const std::string& output,
                                  RecordingProcess& process) {
        const auto jobs = folimo::SplitIntoJobs(paths, mode, folimo::fromUtf8(output));
        folimo::TextExpander texts;
        return folimo::RunJobs(*engine, jobs, &process, &texts);
    }
    TempDir dir;
    Owned<IFolimo> engine;
    std::vector<std::wstring> paths;
};

// A second identical run takes " (1)" names beside the first run's files, which stay.
TEST_F(ConversionRun, PerImageBesideTheImagesNeverOverwrites) {
    writeFile(dir.file("pics/p2.pdf"), "someone's own");
    RecordingProcess first, second;
    EXPECT_EQ(run(ConversionMode::PerImage, "", first).size(), 5u);
    EXPECT_EQ(readFile(dir.file("pics/p2.pdf")), "someone's own");
    EXPECT_TRUE(qpdfCheckClean(dir.file("pics/p2 (1).pdf")));
    const auto again = run(ConversionMode::PerImage, "", second);
    ASSERT_EQ(again.size(), 5u);
    EXPECT_EQ(folimo::toUtf8(again[0]), dir.file("pics/p1 (1).pdf"));
    EXPECT_EQ(folimo::toUtf8(again[1]), dir.file("pics/p2 (2).pdf"));
    EXPECT_EQ(second.count("begin"), 5);
}

TEST_F(ConversionRun, MissingFoldersAreMadeAndStopEndsTheRunAfterTheDocument) {
    RecordingProcess process;
    // Each document polls before its one page and after it; the run polls after each
    // document: stopping in the second document writes it whole and no third.
    process.cancelAfterPolls = 3;
    const auto written = run(ConversionMode::PerImage, dir.file("new/deeper/"), process);
    ASSERT_EQ(written.size(), 2u);
    for (const auto& pdf : written)
        EXPECT_TRUE(qpdfCheckClean(folimo::toUtf8(pdf)));
    EXPECT_EQ(process.count("end"), 2);
    EXPECT_FALSE(fileExists(dir.file("new/deeper/p3.pdf")));

    // In one document of all images, the stop keeps the pages made so far.
    RecordingProcess single;
    single.cancelAfterPolls = 3;
    const auto one = run(ConversionMode::Single, dir.file("all.pdf"), single);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_TRUE(qpdfCheckClean(dir.file("all.pdf")));
    EXPECT_EQ(pdfPageSizes(dir.file("all.pdf")).size(), 3u);
}

// What the progress window shows of a run of two documents whose second cannot load
// one image, and what the main window's side answers with no window to tell.
TEST_F(ConversionRun, TheLogTellsEachDocumentItsFilesAndItsErrors) {
    paths.insert(paths.begin() + 3, folimo::fromUtf8(dir.file("pics/missing.png")));
    folimo::ConversionForwarder forwarder;
    folimo::ConversionProgress progress(int(paths.size()));
    forwarder.SetTarget(&progress, int(paths.size()));
    std::vector<ConversionJob> jobs = folimo::SplitIntoJobs(
        {paths[0], paths[1]}, ConversionMode::Single, folimo::fromUtf8(dir.file("one.pdf")));
    jobs.push_back({{{paths[2]}, {paths[3]}, {paths[4]}}, folimo::fromUtf8(dir.file("two.pdf"))});
    folimo::RunJobs(*engine, jobs, &forwarder, &forwarder);
    EXPECT_EQ(progress.Read().permille, 5 * 1000 / 6); // files of the run, not documents
    forwarder.OnProgress(0, 0);
    forwarder.OnNotify();

    const auto seen = progress.Read();
    const std::wstring one = folimo::fromUtf8(dir.file("one.pdf"));
    const std::wstring two = folimo::fromUtf8(dir.file("two.pdf"));
    // Each document names the PDF it wrote; a file's error follows the line naming it.
    const std::wstring head = L"1> 开始生成PDF: " + one + L"\r\n1> 添加文件: " + paths[0] +
                              L"\r\n1> 添加文件: " + paths[1] + L"\r\n1> PDF完成: " + one +
                              L"\r\n2> 开始生成PDF: " + two + L"\r\n2> 添加文件: " + paths[2] +
                              L"\r\n2> 添加文件: " + paths[3] + L"\r\n\r\n";
    ASSERT_EQ(seen.log.substr(0, head.size()), head);
    const std::wstring error = L"2> 错误: 图片文件无法加载 " + paths[3] + L": ";
    EXPECT_EQ(seen.log.substr(head.size(), error.size()), error);
    ASSERT_EQ(seen.errorLines.size(), 1u);
    EXPECT_EQ(seen.errorLines[0].first, head.size());
    EXPECT_EQ(seen.log.find(L"\r\n", head.size()), head.size() + seen.errorLines[0].second);
    EXPECT_TRUE(seen.log.ends_with(L"\r\n\r\n2> 添加文件: " + paths[4] + L"\r\n2> PDF完成: " + two +
                                   L"\r\n已写入 2 个PDF，1 个文件失败\r\n"));
    EXPECT_EQ(seen.firstOutput, one);
    EXPECT_EQ(seen.openPath, one);
    EXPECT_EQ(seen.status, L"已写入 2 个PDF，1 个文件失败");
    EXPECT_EQ(seen.permille, 5 * 1000 / 6);
    EXPECT_EQ(seen.filesDone, 5);
    EXPECT_EQ(seen.filesFailed, 1);
    EXPECT_TRUE(seen.finished);
    EXPECT_EQ(seen.secondsLeft, -1);

    // Placeholders go through the window; without one the text is left as it is.
    TextContext page3{1, L"", L"/p/photo.2020.jpg", 2, 0};
    EXPECT_STREQ(forwarder.ExpandText(L"%FILENAME% %number% 50%% %Foo% 50%off", &page3),
                 L"photo 3 50% Foo 50");
    progress.Stop();
    EXPECT_EQ(forwarder.IsCancelled(), 1);
    forwarder.SetTarget(nullptr, 0);
    EXPECT_EQ(forwarder.IsCancelled(), 0);
    EXPECT_EQ(forwarder.OnBegin(L"x"), 1);
    EXPECT_STREQ(forwarder.ExpandText(L"%NUMBER%", &page3), L"%NUMBER%");
}

// A progress that the person presses stop on at a given poll of the engine.
class StoppedProgress : public folimo::ConversionProgress {
public:
    StoppedProgress(int files, ConversionMode mode, int stopAt)
        : ConversionProgress(files, mode), stopAt_(stopAt) {}
    int IsCancelled() noexcept override {
        if (polls_++ == stopAt_)
            Stop();
        return ConversionProgress::IsCancelled();
    }

private:
    int stopAt_, polls_ = 0;
};

// How a run ended is what the window says: a stop keeps a whole PDF of the pages made
// and says where, a document that could not be written reads as failed and offers
// nothing to open, and a run of several documents opens their folder.
TEST_F(ConversionRun, EachEndReadsAsWhatHappened) {
    writeFile(dir.file("blocked"), "a file where a folder should be");
    const std::wstring all = wide(dir.file("all.pdf")), out = wide(dir.file("out"));
    const struct {
        const char* what;
        ConversionMode mode;
        std::wstring output;
        int stopAt;  // the engine's poll the stop comes at; -1: none
        int written; // documents
        std::wstring status, openPath;
        int pages; // of the first document
    } cases[] = {
        {"stopped in the third page", ConversionMode::Single, all, 2, 1,
         L"已停止: 2 页保存在 " + all, all, 2},
        {"stopped before a page", ConversionMode::Single, all, 0, 0, L"已停止: 没有生成页面", L"",
         0},
        {"stopped after the second document", ConversionMode::PerImage, out + L"/", 3, 2,
         L"已停止: 2 页保存在 " + out, out, 1},
        {"per image, all written", ConversionMode::PerImage, out + L"/", -1, 5, L"已写入 5 个PDF",
         out, 1},
        {"a folder that cannot be made", ConversionMode::PerImage, wide(dir.file("blocked/x/")), -1,
         0, L"失败: 没有写入PDF", L"", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dir.file("all.pdf"));
        std::filesystem::remove_all(dir.file("out"));
        folimo::ConversionForwarder forwarder;
        StoppedProgress progress(int(paths.size()), c.mode, c.stopAt);
        forwarder.SetTarget(&progress, int(paths.size()));
        const auto written = folimo::RunJobs(
            *engine, folimo::SplitIntoJobs(paths, c.mode, c.output), &forwarder, &forwarder);
        forwarder.OnNotify();
        const auto seen = progress.Read();
        ASSERT_EQ(int(written.size()), c.written);
        EXPECT_EQ(seen.status, c.status);
        EXPECT_TRUE(seen.log.ends_with(c.status + L"\r\n")) << folimo::toUtf8(seen.log);
        EXPECT_EQ(seen.openPath, c.openPath);
        EXPECT_EQ(seen.firstOutput, written.empty() ? L"" : written[0]);
        if (c.written == 0) {
            EXPECT_EQ(seen.log.find(L"PDF完成"), std::wstring::npos);
        }
        if (c.stopAt >= 0) {
            EXPECT_LT(seen.permille, 1000);       // the bar stays where the run stopped
            EXPECT_TRUE(seen.errorLines.empty()); // a stop is no error
        }
        if (c.written > 0) {
            EXPECT_TRUE(qpdfCheckClean(folimo::toUtf8(written[0])));
            EXPECT_EQ(int(pdfPageSizes(folimo::toUtf8(written[0])).size()), c.pages);
        } else {
            EXPECT_FALSE(fileExists(dir.file("all.pdf")));
        }
        if (c.status.starts_with(L"失败")) {
            ASSERT_FALSE(seen.errorLines.empty());
            const std::wstring expected =
                L"1> 错误: PDF无法写入: cannot create '" + wide(dir.file("blocked/x/p1.pdf"));
            EXPECT_EQ(seen.log.substr(seen.errorLines[0].first, expected.size()), expected);
        }
    }
}

// An image watermark that cannot be used is told once a run, not once a document, and
// not at all when it is fine.
TEST_F(ConversionRun, AnUnusableWatermarkImageIsToldOnceARun) {
    writeFile(dir.file("text.png"), "not a picture");
    ::mkfifo(dir.file("fifo.png").c_str(), 0600);
    for (const std::string name : {"missing.png", "text.png", "fifo.png", "pics/p1.png"}) {
        SCOPED_TRACE(name);
        auto* watermark = folimo::createObject<IImageWatermark>(FOLIMO_IMAGE_WATERMARK).release();
        watermark->SetImagePath(wide(dir.file(name)).c_str());
        while (engine->GetSettings()->GetWatermarkCount() > 0)
            engine->GetSettings()->RemoveWatermark(0);
        engine->GetSettings()->AddWatermark(watermark);
        std::filesystem::remove_all(dir.file("out"));
        folimo::ConversionForwarder forwarder;
        folimo::ConversionProgress progress(int(paths.size()), ConversionMode::PerImage);
        forwarder.SetTarget(&progress, int(paths.size()));
        folimo::RunJobs(
            *engine, folimo::SplitIntoJobs(paths, ConversionMode::PerImage, wide(dir.file("out/"))),
            &forwarder, &forwarder);
        const auto seen = progress.Read();
        const bool usable = name == "pics/p1.png";
        ASSERT_EQ(seen.errorLines.size(), usable ? 0u : 1u) << folimo::toUtf8(seen.log);
        if (!usable) {
            const std::wstring expected =
                L"1> 错误: 水印图片无法使用 " + wide(dir.file(name)) + L": ";
            EXPECT_EQ(seen.log.substr(seen.errorLines[0].first, expected.size()), expected);
        }
    }
}

} // namespace

namespace {

// The engine reaches the window's log through the forwarder, found there as an
// IProcessText: a page without text is an error line naming the page, the engine's own
// report of it adds none, and a missing language names its Debian package.
TEST(ConversionLog, RecognitionFailuresAreToldOncePerPage) {
    folimo::ConversionForwarder forwarder;
    folimo::ConversionProgress progress(2);
    forwarder.SetTarget(&progress, 2);
    IProcess& engineSide = forwarder;
    auto* text = dynamic_cast<IProcessText*>(&engineSide);
    ASSERT_NE(text, nullptr);
    const struct {
        int filePage, words;
        const wchar_t* line; // the error line it adds, or null
    } pages[] = {
        {0, 12, nullptr},
        {1, 0, nullptr}, // a page without words is no failure
        {2, -1, L"1> /in/scan.tif 的第 3 页: 无法识别其中的文字; 该页保留, 但不含文字"},
    };
    for (const auto& page : pages) {
        const std::size_t before = progress.Read().errorLines.size();
        if (page.words < 0)
            forwarder.OnErrorCode(FOLIMO_ERROR_RECOGNITION, L"/in/scan.tif", L"out of memory",
                                  L"Error: recognition failed");
        text->OnPageText(page.filePage + 1, L"/in/scan.tif", page.filePage, page.words, 0);
        const auto seen = progress.Read();
        ASSERT_EQ(seen.errorLines.size(), before + (page.line ? 1 : 0)) << page.filePage;
        if (page.line) {
            EXPECT_EQ(seen.log.substr(seen.errorLines.back().first, seen.errorLines.back().second),
                      page.line);
        }
    }
    forwarder.OnErrorCode(FOLIMO_ERROR_TEXT_DATA, L"chi_sim", L"tesseract-ocr-chi-sim",
                          L"Error: no chi_sim");
    const auto seen = progress.Read();
    ASSERT_EQ(seen.errorLines.size(), 2u);
    EXPECT_EQ(seen.log.substr(seen.errorLines[1].first, seen.errorLines[1].second),
              L"1> 错误: 没有安装“chi_sim”的文字识别数据: 请安装Debian软件包 "
              L"tesseract-ocr-chi-sim");
    forwarder.SetTarget(nullptr, 0);
    EXPECT_EQ(text->OnPageText(1, L"/in/a.jpg", 0, -1, 0), 1); // the window has gone
}

} // namespace
