// The command line of folimo-cli: every engine setting as an option, the inputs, and
// how to report. Parsing only; nothing here touches the engine.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

// Options not given stay empty (or false), so that they leave the settings as they are:
// the engine's defaults, or the stored ones with useSavedSettings.
struct CliOptions {
    std::string output;
    std::vector<std::string> inputs;
    bool useSavedSettings = false;

    std::optional<int> pageSize;
    std::optional<int> customWidth, customHeight;
    bool landscape = false;
    std::optional<std::array<int, 4>> margins; // left, top, right, bottom
    bool doublePage = false;
    bool imageInPage = false;
    bool autoRotate = false;
    std::optional<std::string> info[5]; // title, subject, author, creator, keywords
    bool bookmarks = false;
    std::optional<std::string> bookmarkText;

    std::optional<int> encode;        // image-encode code 0 to 5
    std::optional<int> defaultEncode; // 1 to 5
    std::optional<int> jpegQuality;
    std::optional<int> maxWidth, maxHeight;
    std::optional<int> dpi;

    struct Watermark {
        std::string content; // the text, or the image path
        std::optional<int> fontSize;
        std::optional<int> color; // red in the lowest byte
        std::optional<int> x, y;  // -1, -1 for automatic placement
        std::optional<int> opacity;
        std::optional<std::string> filter;
    };
    std::optional<Watermark> textWatermark;
    std::optional<Watermark> imageWatermark;

    bool quiet = false;
    bool json = false;
    bool help = false;
};

// Throws std::invalid_argument with a message for the user.
CliOptions parseCliOptions(int argc, char** argv);

const char* cliUsage();

// A page-size code from a number or one of the names of cliUsage().
std::optional<int> pageSizeCode(const std::string& text);
