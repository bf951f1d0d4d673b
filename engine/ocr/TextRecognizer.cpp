#include "TextRecognizer.h"

#include "imaging/Transform.h"
#include <folimo/WideText.h>

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>

#include <omp.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace folimo::ocr {

namespace {

std::vector<std::string> splitLanguages(const std::string& languages) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= languages.size()) {
        std::size_t end = languages.find('+', start);
        if (end == std::string::npos)
            end = languages.size();
        if (end > start)
            out.push_back(languages.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Debian names a language's package after the language, underscores turned hyphens.
std::string debianPackage(std::string language) {
    std::replace(language.begin(), language.end(), '_', '-');
    std::transform(language.begin(), language.end(), language.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return "tesseract-ocr-" + language;
}

// Below this the orientation detection's confidence is too weak to turn a page by.
// Tesseract's own measure, measured on 300 dpi text: three lines of words score 7 to 10,
// two lines 2.7 to 2.8, three lines of digits (which read much the same upside down)
// 1.3 to 1.5; one line gets no answer at all, too few characters. Turning a page wrongly
// costs more than leaving it, so pages of figures alone stay as they are.
constexpr float kOrientationConfidence = 2.0F;

// Tesseract's LSTM splits its work over OpenMP teams of four threads. The engine runs
// one recogniser per core, so those teams only multiply the threads per core, and their
// spinning waits cost more than they share: on 2 busy cores an A4 page took 10-11 s of
// processor time with the teams and 2.3-2.6 s without, and one recogniser's page 29-31 s
// instead of 6-11 s (bench/ocr_threads.cpp). The limit is an OpenMP setting of the
// calling thread alone (libgomp keeps it per thread), so it is set on the thread that
// recognises, before each page; OMP_THREAD_LIMIT=1 does the same for a whole process.
void keepToThisThread() {
    omp_set_max_active_levels(0);
}

// Tesseract polls this between words; a stop then acts within the page.
bool stopRequested(void* flag, int /*words*/) {
    return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed);
}

// A file's resolution, whole, and bounded so that a nonsense value cannot overflow.
int dotsPerInch(double dpi) {
    return static_cast<int>(std::lround(std::clamp(dpi, 1.0, 100000.0)));
}

struct PixDeleter {
    void operator()(Pix* pix) const { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<Pix, PixDeleter>;

// `page` as a Leptonica picture, 8-bit grey or 32-bit RGB, carrying the page's
// resolution. Handed raw bytes, Tesseract knows the resolution only from
// SetSourceResolution, which its orientation detection does not read: it took 70 dpi,
// said so on standard error for every page, and sized the rules it removes by that.
PixPtr toPix(const imaging::Bitmap& page) {
    using imaging::PixelFormat;
    imaging::Bitmap grey;
    const imaging::Bitmap* source = &page;
    if (page.format != PixelFormat::Gray8 && page.format != PixelFormat::Rgb24) {
        // The grey copy's palette is a ramp: each index is its own grey level.
        grey = imaging::toGrey(page);
        source = &grey;
    }
    const bool rgb = source->format == PixelFormat::Rgb24;
    PixPtr pix(pixCreate(source->width, source->height, rgb ? 32 : 8));
    if (pix == nullptr)
        throw RecognitionError("There is not enough memory to recognise the page's text.");
    l_uint32* data = pixGetData(pix.get());
    const int wordsPerLine = pixGetWpl(pix.get());
    for (int y = 0; y < source->height; ++y) {
        const std::uint8_t* in = source->row(y);
        l_uint32* line = data + std::size_t(y) * std::size_t(wordsPerLine);
        if (rgb) {
            for (int x = 0; x < source->width; ++x, in += 3)
                composeRGBPixel(in[0], in[1], in[2], line + x);
        } else {
            for (int x = 0; x < source->width; ++x)
                SET_DATA_BYTE(line, x, in[x]);
        }
    }
    if (page.dpiX > 0)
        pixSetResolution(pix.get(), dotsPerInch(page.dpiX),
                         dotsPerInch(page.dpiY > 0 ? page.dpiY : page.dpiX));
    return pix;
}

// Hands `page` to `api`, which takes its own copy.
void setImage(tesseract::TessBaseAPI& api, const imaging::Bitmap& page) {
    PixPtr pix = toPix(page);
    api.SetImage(pix.get());
    if (page.dpiX > 0)
        api.SetSourceResolution(dotsPerInch(page.dpiX));
}

// Owns the UTF-8 text Tesseract hands out with new[].
struct TessText {
    char* text;
    ~TessText() { delete[] text; }
};

} // namespace

std::string languageDataFolder() {
    const char* prefix = std::getenv("TESSDATA_PREFIX");
    if (prefix != nullptr && *prefix != '\0')
        return prefix;
    return "/usr/share/tesseract-ocr/5/tessdata";
}

std::vector<std::string> installedLanguages() {
    std::vector<std::string> out;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(languageDataFolder(), error)) {
        const auto& path = entry.path();
        if (path.extension() == ".traineddata")
            out.push_back(path.stem().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

void checkLanguages(const std::string& languages) {
    const auto wanted = splitLanguages(languages);
    if (wanted.empty())
        throw MissingLanguageData("Text recognition needs at least one language, such as "
                                  "\"eng\" or \"eng+chi_sim\".",
                                  "", "");
    const auto installed = installedLanguages();
    for (const auto& language : wanted) {
        if (!std::binary_search(installed.begin(), installed.end(), language)) {
            std::string package = debianPackage(language);
            std::string message = "The language data for \"" + language;
            message += "\" is not installed in " + languageDataFolder();
            message += ": install the Debian package " + package + ".";
            throw MissingLanguageData(message, language, package);
        }
    }
}

TextRecognizer::TextRecognizer(const std::string& languages)
    : api_(std::make_unique<tesseract::TessBaseAPI>()) {
    checkLanguages(languages);
    const std::string folder = languageDataFolder();
    if (api_->Init(folder.c_str(), languages.c_str(), tesseract::OEM_LSTM_ONLY) != 0)
        throw RecognitionError("Tesseract could not load the language data for \"" + languages +
                               "\" from " + folder + ".");
    // Like the command line: find the page's blocks and columns rather than reading the
    // page as one block.
    api_->SetPageSegMode(tesseract::PSM_AUTO);
    // Looking for light text on dark ground recognises every doubtful word a second time,
    // inverted; on scanned documents it costs about a sixth of the time and finds
    // nothing the first reading missed.
    api_->SetVariable("tessedit_do_invert", "0");
}

TextRecognizer::~TextRecognizer() {
    api_->End();
    if (orientation_ != nullptr)
        orientation_->End();
}

std::vector<RecognizedWord> TextRecognizer::recognize(const imaging::Bitmap& page,
                                                      const std::atomic<bool>* cancel) {
    if (cancel != nullptr && cancel->load())
        throw RecognitionCancelled("Text recognition was stopped.");
    if (page.width <= 0 || page.height <= 0)
        return {};
    keepToThisThread();
    setImage(*api_, page);
    tesseract::ETEXT_DESC monitor;
    if (cancel != nullptr) {
        monitor.cancel = &stopRequested;
        // Only read through this pointer, by stopRequested.
        monitor.cancel_this = const_cast<std::atomic<bool>*>(cancel);
    }
    const int status = api_->Recognize(&monitor);
    if (cancel != nullptr && cancel->load()) {
        api_->Clear();
        throw RecognitionCancelled("Text recognition was stopped.");
    }
    if (status != 0) {
        api_->Clear();
        throw RecognitionError("Tesseract could not recognise the page's text.");
    }

    std::vector<RecognizedWord> words;
    std::unique_ptr<tesseract::ResultIterator> it(api_->GetIterator());
    constexpr auto level = tesseract::RIL_WORD;
    int line = -1;
    int lineX1 = 0, lineY1 = 0, lineX2 = 0, lineY2 = 0;
    if (it != nullptr) {
        do {
            if (it->IsAtBeginningOf(tesseract::RIL_TEXTLINE)) {
                ++line;
                it->Baseline(tesseract::RIL_TEXTLINE, &lineX1, &lineY1, &lineX2, &lineY2);
            }
            if (it->Empty(level))
                continue;
            TessText text{it->GetUTF8Text(level)};
            if (text.text == nullptr || *text.text == '\0')
                continue;
            RecognizedWord word;
            word.text = fromUtf8(text.text);
            it->BoundingBox(level, &word.left, &word.top, &word.right, &word.bottom);
            it->Baseline(level, &word.baselineX1, &word.baselineY1, &word.baselineX2,
                         &word.baselineY2);
            word.confidence = it->Confidence(level);
            word.line = line;
            word.lineX1 = lineX1;
            word.lineY1 = lineY1;
            word.lineX2 = lineX2;
            word.lineY2 = lineY2;
            words.push_back(std::move(word));
        } while (it->Next(level));
    }
    api_->Clear();
    return words;
}

int TextRecognizer::uprightTurns(const imaging::Bitmap& page) {
    if (!orientationTried_) {
        orientationTried_ = true;
        const auto installed = installedLanguages();
        if (std::binary_search(installed.begin(), installed.end(), "osd")) {
            // The orientation model is a classifier of Tesseract's older engine; it gets
            // its own instance so the recogniser keeps only the LSTM models loaded.
            auto api = std::make_unique<tesseract::TessBaseAPI>();
            if (api->Init(languageDataFolder().c_str(), "osd", tesseract::OEM_TESSERACT_ONLY) == 0)
                orientation_ = std::move(api);
        }
    }
    if (orientation_ == nullptr || page.width <= 0 || page.height <= 0)
        return 0;
    keepToThisThread();
    setImage(*orientation_, page);
    int degrees = 0;
    float confidence = 0;
    const char* script = nullptr;
    float scriptConfidence = 0;
    const bool found =
        orientation_->DetectOrientationScript(&degrees, &confidence, &script, &scriptConfidence);
    orientation_->Clear();
    if (!found || confidence < kOrientationConfidence)
        return 0;
    // Tesseract reports how far the page stands turned clockwise; turning it on to a
    // full turn makes it upright.
    return (4 - degrees / 90 % 4) % 4;
}

} // namespace folimo::ocr
