// Text recognition of a decoded page with Tesseract's LSTM engine: the words a page
// shows, each with its box in the page's pixels, for the text layer the writer lays
// under the page's picture; and the quarter turns that stand a sideways page upright.
//
// A TextRecognizer belongs to the thread that uses it (Tesseract's state is not
// shareable); several recognisers may work side by side, one per thread. The free
// functions may be called from any thread.
#pragma once

#include "imaging/Bitmap.h"

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tesseract {
class TessBaseAPI;
}

namespace folimo::ocr {

// One recognised word. Boxes and baselines are in pixels of the bitmap recognised,
// row 0 at the top.
struct RecognizedWord {
    std::wstring text;
    int left = 0;
    int top = 0;
    int right = 0; // exclusive
    int bottom = 0;
    // The baseline from (baselineX1, baselineY1) to (baselineX2, baselineY2).
    int baselineX1 = 0;
    int baselineY1 = 0;
    int baselineX2 = 0;
    int baselineY2 = 0;
    float confidence = 0; // 0-100
    // The line the word stands on: its place among the page's lines in reading order,
    // and the baseline Tesseract fitted to the whole line, from (lineX1, lineY1) to
    // (lineX2, lineY2). A reader groups words into lines by their baseline, so words set
    // on their own pieces of a slanting line read as several lines.
    int line = -1;
    int lineX1 = 0;
    int lineY1 = 0;
    int lineX2 = 0;
    int lineY2 = 0;
};

class RecognitionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A language asked for whose data is not installed. `language` is Tesseract's name
// ("chi_sim"), `package` the Debian package that brings it ("tesseract-ocr-chi-sim");
// both are empty when no language was named at all.
class MissingLanguageData : public RecognitionError {
public:
    MissingLanguageData(const std::string& message, std::string language, std::string package)
        : RecognitionError(message), language(std::move(language)), package(std::move(package)) {}
    std::string language;
    std::string package;
};

// recognize() stopped because its cancel flag became true; the page has no result.
class RecognitionCancelled : public RecognitionError {
public:
    using RecognitionError::RecognitionError;
};

// The folder holding the language data: TESSDATA_PREFIX when set, else Debian's.
std::string languageDataFolder();
// The languages whose data that folder holds ("chi_sim", "eng", "osd"), sorted.
std::vector<std::string> installedLanguages();
// Throws MissingLanguageData for the first language of `languages` ("eng+chi_sim")
// whose data is missing, or for a list that names none.
void checkLanguages(const std::string& languages);

// Recognises pages one after another, reusing the models it loaded: loading them costs
// more than recognising a small page.
class TextRecognizer {
public:
    // Checks the languages (see checkLanguages) and loads their models; throws
    // RecognitionError when Tesseract cannot load them.
    explicit TextRecognizer(const std::string& languages);
    ~TextRecognizer();
    TextRecognizer(const TextRecognizer&) = delete;
    TextRecognizer& operator=(const TextRecognizer&) = delete;

    // The words of `page` in reading order. Any pixel format: what is neither 8-bit grey
    // nor RGB is recognised from a grey copy. The page's resolution (dpiX) guides the
    // size of text expected; 0 lets Tesseract estimate it. When `cancel` is given and
    // becomes true (from any thread) during recognition, the work stops within the page
    // and RecognitionCancelled is thrown. Throws RecognitionError when Tesseract fails
    // on the page.
    std::vector<RecognizedWord> recognize(const imaging::Bitmap& page,
                                          const std::atomic<bool>* cancel = nullptr);

    // Clockwise quarter turns (0..3) that make the page's text upright, by Tesseract's
    // orientation detection (imaging::turnClockwise applies them); 0 when the detection
    // is unsure, finds too little text, or the "osd" data is not installed. The
    // detection's model is loaded on first use.
    int uprightTurns(const imaging::Bitmap& page);

private:
    std::unique_ptr<tesseract::TessBaseAPI> api_;
    std::unique_ptr<tesseract::TessBaseAPI> orientation_;
    bool orientationTried_ = false;
};

} // namespace folimo::ocr
