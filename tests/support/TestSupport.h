// Shared helpers of the tests: temporary folders, running the independent PDF tools
// (qpdf, poppler) on outputs, an IProcess that records what the engine reports, and
// engine objects that release themselves.
#pragma once

#include <folimo/Folimo.h>
#include <folimo/Owned.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace folimo::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct CommandResult {
    int exitCode;
    std::string output; // standard output and standard error together
};

// Runs a shell command line.
CommandResult runCommand(const std::string& commandLine);

// Quotes a word for the shell.
std::string shellQuote(const std::string& word);

// `qpdf --check`: exit 0 and no warnings. On failure the message says what qpdf said.
::testing::AssertionResult qpdfCheckClean(const std::string& pdfPath);

struct PageSize {
    double width;
    double height;
};

// The page sizes as poppler's pdfinfo reads them (rotation applied).
std::vector<PageSize> pdfPageSizes(const std::string& pdfPath);

// One field of `pdfinfo`, such as "Title" or "Pages"; empty when absent.
std::string pdfInfoField(const std::string& pdfPath, const std::string& field);

// A page rendered by pdftoppm as 8-bit RGB.
struct Raster {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
    const unsigned char* at(int x, int y) const { return &rgb[(std::size_t(y) * width + x) * 3]; }
};
Raster renderPage(const std::string& pdfPath, int page, int dpi);

// The image file decoded by ImageMagick, flattened onto white, as 8-bit RGB: the
// independent reference a rendered page is compared with.
Raster decodeReference(const std::string& imagePath);
// ImageMagick's `identify -format FORMAT` of a file, failing the test when it cannot.
std::string identify(const std::string& format, const std::string& path);

// Makes an image file with ImageMagick's convert: makeImage("-size 8x8 xc:red", "a.png").
void makeImage(const std::string& convertArguments, const std::string& outputPath);

// The largest difference of one channel between two rasters of the same size, and
// the mean absolute difference.
struct RasterDifference {
    int max;
    double mean;
};
RasterDifference compareRasters(const Raster& a, const Raster& b);
// Peak signal-to-noise ratio in dB over all samples; 99 for identical rasters, 0 when
// the sizes differ.
double psnr(const Raster& a, const Raster& b);

// A PDF of the given page sizes, page i showing the text "Page i" in Helvetica, written
// by hand and rebuilt by qpdf: an input that owes nothing to our own writer.
void makePdf(const std::string& path, const std::vector<PageSize>& pages);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, std::string_view bytes);
bool fileExists(const std::string& path);
std::vector<std::string> listDir(const std::string& path);

using folimo::Owned;

// folimo-cli run with `arguments` (already quoted for the shell) and, before it,
// `environment` assignments such as "XDG_CONFIG_HOME=/tmp/x"; its outputs pass through
// files in `dir`.
struct CliResult {
    int exitCode;
    std::string out; // standard output alone
    std::string err; // standard error alone
};
CliResult runCli(const TempDir& dir, const std::string& arguments,
                 const std::string& environment = "");

Owned<IFolimo> createEngine();

// Records every notification of a run, in order, as readable lines:
// "begin <path>", "file <path> <loaded>", "error <message>", "end", "cancel?".
class RecordingProcess : public IProcess {
public:
    virtual ~RecordingProcess() = default;
    int OnBegin(const wchar_t* path) override;
    int OnFile(const wchar_t* path, int loaded) override;
    int OnEnd() override;
    int OnProgress(std::int64_t, std::int64_t) override { return 1; }
    int OnError(const wchar_t* message) override;
    int IsCancelled() override;
    int OnNotify() override { return 1; }

    std::vector<std::string> events;
    int cancelAfterPolls = -1; // IsCancelled answers 1 from this poll on (0 = the first)
    int polls = 0;

    int count(const std::string& prefix) const;
};

// Wide paths for the engine.
std::wstring wide(const std::string& utf8);

} // namespace folimo::test
