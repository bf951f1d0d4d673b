// The command line of folimo-cli: every engine setting as an option, the inputs, and
// how to report. Parsing only; nothing here touches the engine.
#pragma once

#include <Scanner.h>

#include <array>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What a scan asks for (--scan and the options that go with it). Outside CliOptions, as
// clang sees a nested class with member initialisers as not default-constructible until
// the enclosing class is complete.
struct CliScanOptions {
    std::string device;
    std::optional<folimo::scan::Source> source; // none: the device's first
    folimo::scan::Colour colour = folimo::scan::Colour::Colour;
    int resolution = 300;
    int widthMm = 0, heightMm = 0;        // from the top left corner; 0: the whole area
    std::optional<int> skipBlankPermille; // with --skip-blank: blank at or below it
    std::string keepFolder;               // empty: a private folder removed at the end
    std::vector<std::pair<std::string, std::string>> deviceOptions;
    // The scanning options given, for a message when --scan is not.
    std::vector<std::string> given;
};

// Options not given stay empty, so that they leave the settings as they are: the
// engine's defaults, or the stored ones with useSavedSettings. The on/off settings are
// optional too, so that --no-x can switch off what the stored settings switched on.
struct CliOptions {
    // 0 one document, 1 one per folder, 2 one per image (as ConversionMode counts them).
    int mode = 0;
    std::string output; // a file in mode 0, a folder (or nothing) in the others
    std::vector<std::string> inputs;
    // --rotate N=DEGREES: the clockwise turn of the Nth input (from 1), by its number;
    // every page a folder or a PDF gives is turned with it.
    std::map<int, int> turns;
    bool useSavedSettings = false;
    bool overwrite = false;

    std::optional<int> pageSize;
    std::optional<int> customWidth, customHeight;
    std::optional<bool> landscape;
    std::optional<std::array<int, 4>> margins; // left, top, right, bottom
    std::optional<bool> doublePage;
    std::optional<bool> imageInPage;
    std::optional<bool> autoRotate;
    // --ocr (true) and --no-ocr (false), and the languages of --ocr LANGS, "eng+chi_sim":
    // empty for the saved ones with useSavedSettings, else the interface language's default.
    std::optional<bool> ocr;
    std::optional<bool> uprightByText;
    std::string ocrLanguages;
    std::array<std::optional<std::string>, 5> info; // title, subject, author, creator, keywords
    std::optional<bool> bookmarks;
    std::optional<std::string> bookmarkText;

    std::optional<int> encode;        // image-encode code 0 to 5
    std::optional<int> defaultEncode; // 1 to 5
    std::optional<int> jpegQuality;
    std::optional<int> maxWidth, maxHeight;
    std::optional<int> dpi;
    std::optional<std::string> maxMemory; // "512M": for the engine's decoded-image budget

    // Present when any option of that watermark is given. An empty content (from
    // --no-text-watermark or --no-image-watermark) draws nothing.
    struct Watermark {
        std::optional<std::string> content; // the text, or the image path
        std::optional<int> fontSize;
        std::optional<int> color; // red in the lowest byte
        std::optional<int> x, y;  // -1, -1 for automatic placement
        std::optional<int> opacity;
        std::optional<std::string> filter;
        // The options that change this watermark's fields, for a message when there is
        // no watermark for them to change.
        std::vector<std::string> adjusting;
    };
    std::optional<Watermark> textWatermark;
    std::optional<Watermark> imageWatermark;

    // --scan DEVICE (present with an empty device when only the options that adjust
    // a scan are given): the inputs are the pages scanned in this run, in their order.
    using Scan = CliScanOptions;
    std::optional<Scan> scan;
    bool listScanners = false;

    bool quiet = false;
    bool json = false;
    bool help = false;
    bool version = false;
};

// Throws std::invalid_argument with a message for the user.
CliOptions parseCliOptions(int argc, char** argv);

const char* cliUsage();

// The languages a run recognises: none when recognition is not mentioned (the record's
// stay), "" for --no-ocr, else those of --ocr LANGS or, without them, `saved` with
// --use-saved-settings and `fallback` otherwise.
std::optional<std::string> recognitionLanguages(const CliOptions& options, const std::string& saved,
                                                const std::string& fallback);

// The scanning choices of a run, as the scanner service takes them.
folimo::scan::Choices scanChoices(const CliOptions::Scan& scan);

// A page-size code from a number or one of the names of cliUsage().
std::optional<int> pageSizeCode(const std::string& text);
