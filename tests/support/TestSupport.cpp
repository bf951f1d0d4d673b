#include "TestSupport.h"

#include <folimo/WideText.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>

namespace folimo::test {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "folimo-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("cannot create a temporary folder");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string shellQuote(const std::string& word) {
    std::string out = "'";
    for (char c : word) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

CommandResult runCommand(const std::string& commandLine) {
    std::string full = commandLine + " 2>&1";
    FILE* pipe = ::popen(full.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run " + commandLine);
    std::string output;
    std::array<char, 65536> buf{};
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
        output.append(buf.data(), n);
    int status = ::pclose(pipe);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return {code, output};
}

::testing::AssertionResult qpdfCheckClean(const std::string& pdfPath) {
    CommandResult r = runCommand("qpdf --check " + shellQuote(pdfPath));
    if (r.exitCode == 0 && r.output.find("WARNING") == std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "qpdf --check " << pdfPath << " exited " << r.exitCode << ":\n"
           << r.output;
}

std::vector<PageSize> pdfPageSizes(const std::string& pdfPath) {
    CommandResult r = runCommand("pdfinfo -f 1 -l 100000 " + shellQuote(pdfPath));
    std::vector<PageSize> sizes;
    std::istringstream in(r.output);
    std::string line;
    while (std::getline(in, line)) {
        // "Page    1 size: 594 x 842 pts (A4)"
        if (line.rfind("Page ", 0) != 0 || line.find(" size:") == std::string::npos)
            continue;
        auto colon = line.find("size:");
        PageSize s{};
        std::istringstream fields(line.substr(colon + 5));
        std::string x;
        fields.imbue(std::locale::classic());
        fields >> s.width >> x >> s.height;
        sizes.push_back(s);
    }
    return sizes;
}

std::string pdfInfoField(const std::string& pdfPath, const std::string& field) {
    CommandResult r = runCommand("pdfinfo " + shellQuote(pdfPath));
    std::istringstream in(r.output);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            auto value = line.find_first_not_of(' ', field.size() + 1);
            return value == std::string::npos ? "" : line.substr(value);
        }
    }
    return "";
}

Raster renderPage(const std::string& pdfPath, int page, int dpi) {
    // pdftocairo, not pdftoppm: Splash smooths the edges of images drawn at exactly one
    // pixel per sample, which would hide real differences behind false ones.
    TempDir dir;
    std::string prefix = dir.file("page");
    CommandResult r = runCommand("pdftocairo -png -singlefile -f " + std::to_string(page) + " -l " +
                                 std::to_string(page) + " -r " + std::to_string(dpi) + " " +
                                 shellQuote(pdfPath) + " " + shellQuote(prefix));
    if (r.exitCode != 0)
        throw std::runtime_error("pdftocairo failed: " + r.output);
    return decodeReference(prefix + ".png");
}

Raster decodeReference(const std::string& imagePath) {
    TempDir dir;
    std::string out = dir.file("ref.ppm");
    CommandResult r = runCommand("convert " + shellQuote(imagePath) +
                                 "[0] -background white -alpha remove -alpha off "
                                 "-colorspace sRGB -depth 8 " +
                                 shellQuote("ppm:" + out));
    if (r.exitCode != 0)
        throw std::runtime_error("convert failed: " + r.output);
    std::string ppm = readFile(out);
    std::istringstream header(ppm);
    std::string magic;
    int w = 0, h = 0, maxval = 0;
    header >> magic >> w >> h >> maxval;
    auto offset = static_cast<std::size_t>(header.tellg()) + 1;
    Raster raster;
    raster.width = w;
    raster.height = h;
    raster.rgb.assign(ppm.begin() + static_cast<std::ptrdiff_t>(offset), ppm.end());
    if (magic != "P6" || maxval != 255 || raster.rgb.size() != std::size_t(w) * h * 3)
        throw std::runtime_error("unexpected reference decode of " + imagePath);
    return raster;
}

void makeImage(const std::string& convertArguments, const std::string& outputPath) {
    CommandResult r = runCommand("convert " + convertArguments + " " + shellQuote(outputPath));
    if (r.exitCode != 0)
        throw std::runtime_error("convert " + convertArguments + " failed: " + r.output);
}

CliResult runCli(const TempDir& dir, const std::string& arguments, const std::string& environment) {
    std::string out = dir.file(".stdout"), err = dir.file(".stderr");
    auto r = runCommand("(" + environment + " " + shellQuote(FOLIMO_CLI_PATH) + " " + arguments +
                        " >" + shellQuote(out) + " 2>" + shellQuote(err) + ")");
    CliResult result{r.exitCode, readFile(out), readFile(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return result;
}

std::string identify(const std::string& format, const std::string& path) {
    auto r = runCommand("identify -format " + shellQuote(format) + " " + shellQuote(path));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r.output;
}

double psnr(const Raster& a, const Raster& b) {
    if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size())
        return 0;
    double sum = 0;
    for (std::size_t i = 0; i < a.rgb.size(); ++i) {
        const double d = double(a.rgb[i]) - double(b.rgb[i]);
        sum += d * d;
    }
    const double mse = sum / double(a.rgb.size());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

RasterDifference compareRasters(const Raster& a, const Raster& b) {
    if (a.width != b.width || a.height != b.height)
        return {256, 256.0};
    int worst = 0;
    double sum = 0;
    for (std::size_t i = 0; i < a.rgb.size(); ++i) {
        int d = std::abs(int(a.rgb[i]) - int(b.rgb[i]));
        worst = std::max(worst, d);
        sum += d;
    }
    return {worst, a.rgb.empty() ? 0.0 : sum / double(a.rgb.size())};
}

void makePdf(const std::string& path, const std::vector<PageSize>& pages) {
    std::ostringstream pdf;
    pdf.imbue(std::locale::classic());
    int n = static_cast<int>(pages.size());
    pdf << "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n";
    pdf << "2 0 obj << /Type /Pages /Count " << n << " /Kids [";
    for (int i = 0; i < n; ++i)
        pdf << (4 + 2 * i) << " 0 R ";
    pdf << "] >> endobj\n";
    pdf << "3 0 obj << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> endobj\n";
    for (int i = 0; i < n; ++i) {
        std::string content = "BT /F1 24 Tf 36 36 Td (Page " + std::to_string(i + 1) + ") Tj ET";
        pdf << (4 + 2 * i) << " 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 "
            << pages[i].width << " " << pages[i].height << "] /Contents " << (5 + 2 * i)
            << " 0 R /Resources << /Font << /F1 3 0 R >> >> >> endobj\n";
        pdf << (5 + 2 * i) << " 0 obj << /Length " << content.size() << " >> stream\n"
            << content << "\nendstream endobj\n";
    }
    pdf << "trailer << /Root 1 0 R /Size " << (4 + 2 * n) << " >>\n%%EOF\n";
    std::string raw = path + ".raw";
    writeFile(raw, pdf.str());
    // qpdf rebuilds the missing cross-reference table (and says so: exit code 3).
    CommandResult r = runCommand("qpdf " + shellQuote(raw) + " " + shellQuote(path));
    std::remove(raw.c_str());
    if (r.exitCode != 0 && r.exitCode != 3)
        throw std::runtime_error("qpdf could not build a test PDF: " + r.output);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

bool fileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

Owned<IFolimo> createEngine() {
    void* out = nullptr;
    CreateObject(FOLIMO_ENGINE, &out);
    if (!out)
        throw std::runtime_error("CreateObject failed");
    return Owned<IFolimo>(static_cast<IFolimo*>(out));
}

std::wstring wide(const std::string& utf8) {
    return fromUtf8(utf8);
}

int RecordingProcess::OnBegin(const wchar_t* path) {
    events.push_back("begin " + toUtf8(path ? path : L""));
    return 1;
}

int RecordingProcess::OnFile(const wchar_t* path, int loaded) {
    events.push_back("file " + toUtf8(path ? path : L"") + " " + std::to_string(loaded));
    return 1;
}

int RecordingProcess::OnEnd() {
    events.push_back("end");
    return 1;
}

int RecordingProcess::OnError(const wchar_t* message) {
    events.push_back("error " + toUtf8(message ? message : L""));
    return 1;
}

int RecordingProcess::IsCancelled() {
    int answer = cancelAfterPolls >= 0 && polls >= cancelAfterPolls ? 1 : 0;
    ++polls;
    return answer;
}

int RecordingProcess::count(const std::string& prefix) const {
    int n = 0;
    for (const auto& e : events)
        if (e.rfind(prefix, 0) == 0)
            ++n;
    return n;
}

} // namespace folimo::test
