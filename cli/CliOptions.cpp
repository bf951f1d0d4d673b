#include "CliOptions.h"

#include <SettingsStore.h>
#include <folimo/WideText.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <stdexcept>

namespace {

const char* const kPageSizeNames[12] = {"image", "a1", "a2",     "a3",    "a4",     "a5",
                                        "a6",    "b5", "letter", "legal", "ledger", "tabloid"};

const char* const kEncodeNames[6] = {"unchanged", "jpeg", "grey-jpeg", "png", "gif", "tiff"};

std::optional<int> codeByName(const std::string& text, const char* const* names, int count) {
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (int code = 0; code < count; ++code)
        if (lower == names[code])
            return code;
    int code = -1;
    auto [end, ec] = std::from_chars(lower.data(), lower.data() + lower.size(), code);
    if (ec == std::errc() && end == lower.data() + lower.size() && code >= 0 && code < count)
        return code;
    return std::nullopt;
}

bool isWatermarkOption(const std::string& arg) {
    for (const char* name : {"--text-watermark", "--text-size", "--text-color", "--text-position",
                             "--text-opacity", "--text-filter", "--image-watermark",
                             "--image-position", "--image-opacity", "--image-filter"})
        if (arg == name)
            return true;
    return false;
}

// The on/off settings: each has --NAME and --no-NAME, and the last one given wins.
struct Flag {
    const char* name;
    std::optional<bool> CliOptions::*member;
};
const Flag kFlags[] = {
    {"landscape", &CliOptions::landscape},       {"double-page", &CliOptions::doublePage},
    {"image-in-page", &CliOptions::imageInPage}, {"auto-rotate", &CliOptions::autoRotate},
    {"bookmarks", &CliOptions::bookmarks},       {"upright-by-text", &CliOptions::uprightByText}};

const Flag* findFlag(const std::string& arg, bool* on) {
    for (const Flag& flag : kFlags) {
        if (arg == std::string("--") + flag.name) {
            *on = true;
            return &flag;
        }
        if (arg == std::string("--no-") + flag.name) {
            *on = false;
            return &flag;
        }
    }
    return nullptr;
}

int parseInt(const std::string& option, const std::string& text) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        throw std::invalid_argument(option + ": '" + text + "' is not a whole number");
    return value;
}

std::vector<int> parseList(const std::string& option, const std::string& text) {
    std::vector<int> values;
    std::size_t start = 0;
    while (true) {
        auto comma = text.find_first_of(",x", start);
        values.push_back(parseInt(option, text.substr(start, comma - start)));
        if (comma == std::string::npos)
            return values;
        start = comma + 1;
    }
}

} // namespace

std::optional<std::string> recognitionLanguages(const CliOptions& options, const std::string& saved,
                                                const std::string& fallback) {
    if (!options.ocr)
        return std::nullopt;
    if (!*options.ocr)
        return std::string();
    if (!options.ocrLanguages.empty())
        return options.ocrLanguages;
    return options.useSavedSettings ? saved : fallback;
}

folimo::scan::Choices scanChoices(const CliOptions::Scan& scan) {
    folimo::scan::Choices choices;
    choices.source = scan.source.value_or(folimo::scan::Source::Flatbed);
    choices.colour = scan.colour;
    choices.resolution = scan.resolution;
    choices.widthMm = scan.widthMm;
    choices.heightMm = scan.heightMm;
    choices.skipBlank = scan.skipBlankPermille.has_value();
    choices.blankInkPermille = scan.skipBlankPermille.value_or(choices.blankInkPermille);
    choices.deviceOptions = scan.deviceOptions;
    return choices;
}

std::optional<int> pageSizeCode(const std::string& text) {
    return codeByName(text, kPageSizeNames, 12);
}

std::optional<int> encodeCode(const std::string& text) {
    if (text == "gray-jpeg")
        return 2;
    return codeByName(text, kEncodeNames, 6);
}

namespace {

// One option of the command line: its name, and its value, given inline
// ("--name=value") or as the next argument.
class OptionArg {
public:
    OptionArg(std::string arg, int argc, char** argv, int& index)
        : name_(std::move(arg)), argc_(argc), argv_(argv), index_(index) {
        if (auto eq = name_.find('='); name_.rfind("--", 0) == 0 && eq != std::string::npos) {
            inline_ = name_.substr(eq + 1);
            name_ = name_.substr(0, eq);
        }
    }

    const std::string& name() const { return name_; }
    bool is(const char* name) const { return name_ == name; }

    std::string value() {
        valueUsed_ = true;
        if (inline_)
            return *inline_;
        if (index_ + 1 >= argc_)
            throw std::invalid_argument(name_ + " needs a value");
        return argv_[++index_];
    }

    // A value that may be left out: an inline one, or the next argument when `fits` it.
    template <class Fits>
    std::optional<std::string> optionalValue(Fits fits) {
        if (inline_) {
            valueUsed_ = true;
            return inline_;
        }
        if (index_ + 1 < argc_ && fits(std::string(argv_[index_ + 1])))
            return std::string(argv_[++index_]);
        return std::nullopt;
    }

    // An inline value that the option did not take is a mistake, not something to drop.
    void requireValueUsed() const {
        if (inline_ && !valueUsed_)
            throw std::invalid_argument(name_ + " takes no value");
    }

private:
    std::string name_;
    std::optional<std::string> inline_;
    bool valueUsed_ = false;
    int argc_;
    char** argv_;
    int& index_;
};

// The options that take no value.
bool parseSwitch(const OptionArg& arg, CliOptions& o) {
    bool on = false;
    if (const Flag* flag = findFlag(arg.name(), &on))
        o.*(flag->member) = on;
    else if (arg.is("--overwrite"))
        o.overwrite = true;
    else if (arg.is("--use-saved-settings"))
        o.useSavedSettings = true;
    else if (arg.is("--list-scanners"))
        o.listScanners = true;
    else if (arg.is("--json"))
        o.json = true;
    else if (arg.is("-q") || arg.is("--quiet"))
        o.quiet = true;
    else if (arg.is("-h") || arg.is("--help"))
        o.help = true;
    else if (arg.is("-V") || arg.is("--version"))
        o.version = true;
    else
        return false;
    return true;
}

int parseMode(const std::string& mode) {
    if (mode == "single")
        return 0;
    if (mode == "per-folder")
        return 1;
    if (mode == "per-image")
        return 2;
    throw std::invalid_argument("--mode takes single, per-folder or per-image, not " + mode);
}

// Where the documents go, their pages and their information.
bool parseDocumentOption(OptionArg& arg, CliOptions& o) {
    static const char* const kInfoOptions[5] = {"--title", "--subject", "--author", "--creator",
                                                "--keywords"};
    for (int k = 0; k < 5; ++k) {
        if (arg.is(kInfoOptions[k])) {
            o.info[k] = arg.value();
            return true;
        }
    }
    if (arg.is("-o") || arg.is("--output")) {
        o.output = arg.value();
    } else if (arg.is("--mode")) {
        o.mode = parseMode(arg.value());
    } else if (arg.is("--page-size")) {
        std::string v = arg.value();
        o.pageSize = pageSizeCode(v);
        if (!o.pageSize)
            throw std::invalid_argument("--page-size: unknown size '" + v + "'");
    } else if (arg.is("--custom-size")) {
        auto v = parseList(arg.name(), arg.value());
        if (v.size() != 2 || v[0] <= 0 || v[1] <= 0)
            throw std::invalid_argument("--custom-size needs two positive numbers, W,H");
        o.customWidth = v[0];
        o.customHeight = v[1];
    } else if (arg.is("--margins")) {
        auto v = parseList(arg.name(), arg.value());
        if (v.size() == 1)
            v = {v[0], v[0], v[0], v[0]};
        if (v.size() != 4)
            throw std::invalid_argument("--margins needs one value or four: L,T,R,B");
        if (std::any_of(v.begin(), v.end(), [](int margin) { return margin < 0; }))
            throw std::invalid_argument("--margins cannot be negative");
        o.margins.emplace();
        std::copy(v.begin(), v.end(), o.margins->begin());
    } else if (arg.is("--bookmark-text")) {
        o.bookmarkText = arg.value();
        o.bookmarks = true;
    } else {
        return false;
    }
    return true;
}

void checkMemorySize(const std::string& size) {
    char* end = nullptr;
    double number = std::strtod(size.c_str(), &end);
    std::string unit = end;
    if (!(number > 0) || !(unit.empty() || unit == "K" || unit == "M" || unit == "G" ||
                           unit == "k" || unit == "m" || unit == "g"))
        throw std::invalid_argument("--max-memory takes a size such as 512M or 2G");
}

// How the images go into the PDF.
bool parseImageOption(OptionArg& arg, CliOptions& o) {
    if (arg.is("--encode")) {
        std::string v = arg.value();
        o.encode = encodeCode(v);
        if (!o.encode)
            throw std::invalid_argument("--encode: unknown encoding '" + v + "'");
    } else if (arg.is("--default-encode")) {
        std::string v = arg.value();
        o.defaultEncode = encodeCode(v);
        if (!o.defaultEncode || *o.defaultEncode == 0)
            throw std::invalid_argument("--default-encode: '" + v +
                                        "' is not one of jpeg, grey-jpeg, png, gif, tiff");
    } else if (arg.is("--jpeg-quality")) {
        int q = parseInt(arg.name(), arg.value());
        if (q < 1 || q > 100)
            throw std::invalid_argument("--jpeg-quality must be 1 to 100");
        o.jpegQuality = q;
    } else if (arg.is("--max-size")) {
        auto sizes = parseList(arg.name(), arg.value());
        if (sizes.size() != 2 || sizes[0] < -1 || sizes[1] < -1)
            throw std::invalid_argument("--max-size needs W,H (0 = no limit, -1,-1 = off)");
        o.maxWidth = sizes[0];
        o.maxHeight = sizes[1];
    } else if (arg.is("--max-memory")) {
        std::string size = arg.value();
        checkMemorySize(size);
        o.maxMemory = size;
    } else if (arg.is("--dpi")) {
        int dpi = parseInt(arg.name(), arg.value());
        if (dpi < 0)
            throw std::invalid_argument("--dpi must be 0 or more");
        o.dpi = dpi;
    } else if (arg.is("--rotate")) {
        const std::string v = arg.value();
        const std::size_t equals = v.find('=');
        const int input =
            equals == std::string::npos ? 0 : parseInt(arg.name(), v.substr(0, equals));
        const int degrees = input < 1 ? 0 : parseInt(arg.name(), v.substr(equals + 1));
        if (input < 1 || (degrees != 90 && degrees != 180 && degrees != 270))
            throw std::invalid_argument("--rotate needs N=DEGREES: the input's number from 1, "
                                        "then 90, 180 or 270, not " +
                                        v);
        o.turns[input] = degrees;
    } else {
        return false;
    }
    return true;
}

// #RRGGBB as the engine keeps colours, red in the lowest byte.
int parseColor(const std::string& option, const std::string& v) {
    if (v.size() != 7 || v[0] != '#' ||
        v.find_first_not_of("0123456789abcdefABCDEF", 1) != std::string::npos)
        throw std::invalid_argument(option + " needs a colour as #RRGGBB");
    unsigned rgb = static_cast<unsigned>(std::stoul(v.substr(1), nullptr, 16));
    return static_cast<int>(((rgb >> 16) & 0xFF) | (rgb & 0xFF00) | ((rgb & 0xFF) << 16));
}

// The options of the text and the image watermark, and the ones that switch them off.
bool parseWatermarkOption(OptionArg& arg, CliOptions& o) {
    const std::string& name = arg.name();
    if (arg.is("--no-text-watermark") || arg.is("--no-image-watermark")) {
        auto& mark = arg.is("--no-text-watermark") ? o.textWatermark : o.imageWatermark;
        if (!mark)
            mark.emplace();
        mark->content = "";
        return true;
    }
    if (!isWatermarkOption(name))
        return false;
    bool text = name.rfind("--text-", 0) == 0;
    std::string what = name.substr(text ? 7 : 8);
    auto& mark = text ? o.textWatermark : o.imageWatermark;
    if (!mark)
        mark.emplace();
    std::string v = arg.value();
    if (what != "watermark")
        mark->adjusting.push_back(name);
    if (what == "watermark") {
        mark->content = v;
    } else if (what == "size" && text) {
        mark->fontSize = parseInt(name, v);
    } else if (what == "color" && text) {
        mark->color = parseColor(name, v);
    } else if (what == "position") {
        if (v == "auto") {
            mark->x = mark->y = -1;
        } else {
            auto xy = parseList(name, v);
            if (xy.size() != 2)
                throw std::invalid_argument(name + " needs X,Y or auto");
            mark->x = xy[0];
            mark->y = xy[1];
        }
    } else if (what == "opacity") {
        int percent = parseInt(name, v);
        if (percent < 0 || percent > 100)
            throw std::invalid_argument(name + " must be 0 to 100");
        mark->opacity = percent;
    } else if (what == "filter") {
        mark->filter = v;
    }
    return true;
}

bool isLanguageList(const std::string& text) {
    return folimo::IsTextLanguageList(folimo::fromUtf8(text));
}

// Text recognition. A bare --ocr followed by an input named like a language ("eng", a
// file in the current folder) keeps that input: a name that exists is a file.
bool parseTextOption(OptionArg& arg, CliOptions& o) {
    if (arg.is("--no-ocr")) {
        o.ocr = false;
        o.ocrLanguages.clear();
        return true;
    }
    if (!arg.is("--ocr"))
        return false;
    const std::optional<std::string> languages = arg.optionalValue([](const std::string& next) {
        std::error_code ignored;
        return isLanguageList(next) && !std::filesystem::exists(next, ignored);
    });
    if (languages && !isLanguageList(*languages))
        throw std::invalid_argument("--ocr: '" + *languages +
                                    "' is not a list of Tesseract language names such as "
                                    "eng+chi_sim");
    o.ocr = true;
    o.ocrLanguages = languages.value_or("");
    return true;
}

// --scan and the options that say how to scan.
bool parseScanOption(OptionArg& arg, CliOptions& o) {
    using folimo::scan::Colour;
    using folimo::scan::Source;
    static const char* const kNames[] = {"--scan",        "--source",     "--scan-mode",
                                         "--resolution",  "--skip-blank", "--keep-scans",
                                         "--scan-option", "--scan-area"};
    if (std::none_of(std::begin(kNames), std::end(kNames),
                     [&](const char* name) { return arg.is(name); }))
        return false;
    if (!o.scan)
        o.scan.emplace();
    CliOptions::Scan& scan = *o.scan;
    if (arg.is("--scan")) {
        scan.device = arg.value();
        if (scan.device.empty())
            throw std::invalid_argument("--scan needs the name of a scanner, such as those "
                                        "of --list-scanners");
        return true;
    }
    scan.given.push_back(arg.name());
    if (arg.is("--source")) {
        const std::string v = arg.value();
        if (v == "flatbed")
            scan.source = Source::Flatbed;
        else if (v == "adf")
            scan.source = Source::Feeder;
        else if (v == "duplex")
            scan.source = Source::Duplex;
        else
            throw std::invalid_argument("--source takes flatbed, adf or duplex, not " + v);
    } else if (arg.is("--scan-mode")) {
        const std::string v = arg.value();
        if (v == "color" || v == "colour")
            scan.colour = Colour::Colour;
        else if (v == "gray" || v == "grey")
            scan.colour = Colour::Grey;
        else if (v == "lineart")
            scan.colour = Colour::BlackAndWhite;
        else
            throw std::invalid_argument("--scan-mode takes color, gray or lineart, not " + v);
    } else if (arg.is("--resolution")) {
        const int dpi = parseInt(arg.name(), arg.value());
        // Beyond what any scanner reads, a typing slip would ask for gigabytes a page.
        if (dpi < 1 || dpi > 9600)
            throw std::invalid_argument("--resolution must be 1 to 9600 dots per inch");
        scan.resolution = dpi;
    } else if (arg.is("--scan-area")) {
        const auto size = parseList(arg.name(), arg.value());
        if (size.size() != 2 || size[0] <= 0 || size[1] <= 0)
            throw std::invalid_argument("--scan-area needs two positive numbers of "
                                        "millimetres, W,H");
        scan.widthMm = size[0];
        scan.heightMm = size[1];
    } else if (arg.is("--skip-blank")) {
        // Only inline: a number after it could as well be meant for something else.
        const auto v = arg.optionalValue([](const std::string&) { return false; });
        const int permille = v ? parseInt(arg.name(), *v) : 5;
        if (permille < 0 || permille > 1000)
            throw std::invalid_argument("--skip-blank takes a share of ink of 0 to 1000 per "
                                        "mille");
        scan.skipBlankPermille = permille;
    } else if (arg.is("--keep-scans")) {
        scan.keepFolder = arg.value();
        if (scan.keepFolder.empty())
            throw std::invalid_argument("--keep-scans needs a folder");
    } else {
        const std::string v = arg.value();
        const auto eq = v.find('=');
        if (eq == 0 || eq == std::string::npos)
            throw std::invalid_argument("--scan-option needs NAME=VALUE, not " + v);
        scan.deviceOptions.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    }
    return true;
}

// What no single option can tell: options that need others, or exclude them.
void checkCombination(const CliOptions& o) {
    // The stored watermarks give the other options something to change; without them a
    // size or an opacity alone would silently stamp nothing.
    if (!o.useSavedSettings && o.textWatermark && !o.textWatermark->content)
        throw std::invalid_argument("text watermark options need --text-watermark TEXT "
                                    "(or --use-saved-settings)");
    if (!o.useSavedSettings && o.imageWatermark && !o.imageWatermark->content)
        throw std::invalid_argument("image watermark options need --image-watermark FILE "
                                    "(or --use-saved-settings)");
    if (o.output.empty() && o.mode == 0)
        throw std::invalid_argument("no output file: give -o OUTPUT.pdf");
    if (o.mode != 0 && (o.output == "-" || o.overwrite))
        throw std::invalid_argument(std::string(o.output == "-" ? "-o -" : "--overwrite") +
                                    " makes one document: it works with --mode single only");
    if (o.scan && o.scan->device.empty())
        throw std::invalid_argument(o.scan->given.front() + " needs --scan DEVICE");
    if (o.scan && !o.inputs.empty())
        throw std::invalid_argument("--scan converts the pages it scans: give no input files "
                                    "with it (" +
                                    o.inputs.front() + ")");
    if (o.scan && o.mode != 0)
        throw std::invalid_argument("--scan makes one document: it works with --mode single "
                                    "only");
    if (o.inputs.empty() && !o.scan)
        throw std::invalid_argument("no input files");
    if (!o.turns.empty() && o.turns.rbegin()->first > static_cast<int>(o.inputs.size()))
        throw std::invalid_argument(
            "--rotate " + std::to_string(o.turns.rbegin()->first) + "=...: there " +
            (o.inputs.size() == 1 ? "is 1 input"
                                  : "are " + std::to_string(o.inputs.size()) + " inputs"));
}

} // namespace

const char* cliUsage() {
    return R"(Usage: folimo-cli -o OUTPUT.pdf [options] INPUT...
       folimo-cli --mode per-folder|per-image [-o FOLDER/] [options] INPUT...
       folimo-cli --scan DEVICE [scanning options] -o OUTPUT.pdf [options]
       folimo-cli --list-scanners

Converts images and PDF files into one PDF document, one page per image (or two with
--double-page); the pages of PDF inputs are copied in. With --mode per-folder each
folder's inputs make a document named after the folder, with --mode per-image each
input makes one named after it: in FOLDER, or without -o beside its input. A folder
given as INPUT adds the supported files directly inside it, in natural name order. An
existing file is never overwritten unless --overwrite is given: OUTPUT (1).pdf,
OUTPUT (2).pdf, ... is used instead, and missing folders of OUTPUT are created. Ctrl+C
stops after the current page and keeps what was made.

Output:
  -o, --output FILE         the PDF to write (required in single mode); with
                            per-folder or per-image, the folder the PDFs go to
  --mode MODE               single (the default), per-folder or per-image
  --overwrite               replace OUTPUT if it exists, atomically, keeping its
                            permissions: the old file stays as it was unless the new
                            document is complete (a failed or stopped run keeps it)
  -q, --quiet               print only errors: no progress, no paths of the PDFs
                            written, no notice of a stop
  --json                    report on standard output, one JSON object per event:
                            begin, file (path, loaded, done, total), text (page,
                            path, filePage, recognized, words, quarterTurns: a page's
                            recognition, with --ocr), error (message), end, and last
                            done (ok, output, failed, cancelled)

Pages:
  --page-size SIZE          image (each page the size of its image, the default), a1,
                            a2, a3, a4, a5, a6, b5, letter, legal, ledger, tabloid, or
                            the code 0 to 11 in that order
  --[no-]landscape          turn the page size to landscape
  --custom-size W,H         every image page W x H points (wins over --page-size)
  --margins L[,T,R,B]       margins in points: one value for all sides, or left, top,
                            right, bottom; 0 or more, leaving the image at least one
                            point of the page (of each half with --double-page)
  --[no-]double-page        two images per page: stacked, or side by side with landscape
  --[no-]image-in-page      fit and centre each image in its box, enlarging small ones
                            (without it an image keeps its natural size unless that
                            runs off the page: then it is shrunk to fit its box)
  --[no-]auto-rotate        turn an image a quarter turn when its orientation differs
                            from its box's

Images:
  --encode HOW              how each image goes into the PDF: unchanged, jpeg (the
                            default), grey-jpeg, png, gif, tiff, or the code 0 to 5.
                            unchanged embeds JPEG and PNG data as it stands and switches
                            --max-size off unless it is given
  --default-encode HOW      for images that cannot go in unchanged, and for unchanged
                            with a maximum size: jpeg (the default) to tiff, or 1 to 5
  --jpeg-quality N          JPEG quality in percent, default 30
  --max-size W,H            shrink larger images to fit W x H pixels (0 = no limit on
                            that side); -1,-1 switches shrinking and re-encoding off
                            for --encode unchanged
  --max-memory SIZE         the most memory one image may take with its file and its
                            copies, such as 512M or 2G (default 1G), and so a run;
                            a larger picture is streamed where it can be, else refused
  --dpi N                   resolution written into re-encoded images (0 keeps the
                            image's own)
  --rotate N=DEGREES        turn the Nth input (from 1) 90, 180 or 270 degrees
                            clockwise: each of its pages, a JPEG's data unchanged;
                            repeat it for other inputs

Searchable PDFs (text recognition with Tesseract):
  --ocr [LANGS]             lay the text recognised in each image page under it,
                            invisible, so that it can be searched and copied; LANGS are
                            Tesseract's language names joined by "+" (eng+chi_sim), the
                            next argument taken as them unless it is an existing file;
                            without LANGS the saved languages with --use-saved-settings,
                            else chi_sim+eng for a Chinese desktop and eng for others.
                            The data of each language is a Debian package:
                            tesseract-ocr-eng, tesseract-ocr-chi-sim, ... Imported PDF
                            pages are not recognised
  --no-ocr                  no recognition (switches off a stored one)
  --[no-]upright-by-text    turn recognised pages upright by the direction of their
                            text (needs tesseract-ocr-osd)

Watermarks, on every page (imported PDF pages too):
  --text-watermark TEXT     a text; %FILENAME%, %NUMBER% and %MDATA% are replaced
  --text-size N             its size in points (default 20)
  --text-color #RRGGBB      its colour (default black)
  --text-position X,Y|auto  from the top left of the page, in points; auto stacks the
                            watermarks down the left side (the default)
  --text-opacity PERCENT    default 100
  --text-filter PATTERNS    only on pages of matching inputs: wildcards separated by
                            ";", e.g. "*.jpg;*scan*"
  --image-watermark FILE    an image at its natural size
  --image-position X,Y|auto, --image-opacity PERCENT, --image-filter PATTERNS
                            as for the text
  --no-text-watermark, --no-image-watermark
                            none (switches off a stored one)

Document:
  --title TEXT, --subject TEXT, --author TEXT, --creator TEXT, --keywords TEXT
                            the document information
  --[no-]bookmarks          one bookmark per image page
  --bookmark-text TEMPLATE  its title; %FILENAME%, %NUMBER% and %MDATA% (the file's
                            date) are replaced; default %FILENAME%; implies --bookmarks

Scanning (through SANE; SANE_CONFIG_DIR and the backends' files choose the devices):
  --list-scanners           list the scanners, one a line: name, vendor, model and
                            type, separated by tabs (with --json one object each)
  --scan DEVICE             scan with the scanner of that name (as --list-scanners
                            shows it) and convert the pages scanned, in their order,
                            as if they had been given as inputs; takes no INPUT
  --source SOURCE           flatbed (one page), adf (the document feeder, until it
                            is empty) or duplex (both sides); by default the
                            first the device offers
  --scan-mode MODE          color (the default), gray or lineart (black and white)
  --resolution N            dots per inch, 1 to 9600, default 300
  --scan-area W,H           scan W x H millimetres from the top left corner (such as
                            210,297 for A4) instead of the device's whole area
  --skip-blank[=PERMILLE]   leave out pages with at most this share of ink, in per
                            mille of the page (default 5)
  --keep-scans FOLDER       keep the scanned files there (created when missing);
                            without it they go to a private temporary folder that is
                            removed at the end
  --scan-option NAME=VALUE  set an option of the device by its SANE name, for what
                            only one driver offers; may be repeated
  Each page scanned is told on standard error (with --json as an event "scanned",
  and "skipped" for a blank one). Ctrl+C during the scan ends it and converts the
  pages already scanned. A scan that fails before its first page makes no PDF.

Saved settings:
  --use-saved-settings      start from the settings that the desktop program keeps
                            (Velmar/Folimo.conf in $XDG_CONFIG_HOME, by default
                            ~/.config): page size, margins, layout, images, document
                            information, bookmarks, text recognition, and its one
                            text and one image watermark. The options above override
                            them (--no-x switches a stored x off); the watermark
                            options change those two watermarks instead of adding
                            more, each on its own (--text-opacity 50 alone makes the
                            stored text lighter), and keep what they do not set

  -h, --help                this text
  -V, --version             the version of folimo-cli

The last of --x and --no-x given wins.

Exit status: 0 when every input was converted, 1 when the PDF could not be written
or a scan failed before its first page, 2 for a wrong command line, 3 when the PDF
was written but some inputs failed, a scan failed after some pages, a page's text
could not be recognised (the page is kept without it) or an image watermark could
not be used (missing, not a picture, too large, not a regular file), and 128 + the
signal's number when a signal stopped the run: 130 for Ctrl+C, 143 for SIGTERM, 129
for SIGHUP.
)";
}

CliOptions parseCliOptions(int argc, char** argv) {
    CliOptions o;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string text = argv[i];
        if (optionsEnded || text.empty() || text[0] != '-' || text == "-") {
            o.inputs.push_back(text);
            continue;
        }
        if (text == "--") {
            optionsEnded = true;
            continue;
        }
        OptionArg arg(std::move(text), argc, argv, i);
        if (!parseSwitch(arg, o) && !parseDocumentOption(arg, o) && !parseImageOption(arg, o) &&
            !parseWatermarkOption(arg, o) && !parseTextOption(arg, o) && !parseScanOption(arg, o))
            throw std::invalid_argument("unknown option " + arg.name());
        arg.requireValueUsed();
    }
    if (!o.help && !o.version && !o.listScanners)
        checkCombination(o);
    return o;
}
