// folimo-cli: the engine without windows, for scripts, batch work and benchmarks.
#include "CliOptions.h"
#include "CliScan.h"
#include "ConsoleProcess.h"
#include "HeapTuning.h"

#include <ConversionJob.h>
#include <OutputNames.h>
#include <RegistryStore.h>
#include <SettingsStore.h>
#include <TextExpansion.h>
#include <folimo/Folimo.h>
#include <folimo/Owned.h>
#include <folimo/WideText.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The signal that stopped the run, 0 while none came: the exit status tells the shell
// which one it was, as it would for a process that the signal had ended.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "it is set in a signal handler");

// Ctrl+C, a terminal that closes (SIGHUP) and a polite kill (SIGTERM) all stop the run
// after the current page with a valid PDF of the pages made. A second one means it:
// the process ends at once, and the unnamed document in the making goes with it.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onInterrupt(int signal) {
    int none = 0;
    if (!stopSignal.compare_exchange_strong(none, signal)) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}

bool interrupted() {
    return stopSignal.load() != 0;
}

// The signal that ended a scan: the pages scanned before it are converted whole, and
// the run still ends with its status.
int scanStopSignal = 0;

// 128 + the signal's number, as shells report it: 130 for Ctrl+C.
int stoppedStatus() {
    return 128 + (stopSignal.load() != 0 ? stopSignal.load() : scanStopSignal);
}

void handleStopSignals(void (*handler)(int)) {
    for (int signal : kStopSignals)
        std::signal(signal, handler);
}

template <class I>
folimo::Owned<I> create(int kind) {
    folimo::Owned<I> object = folimo::createObject<I>(kind);
    if (!object)
        throw std::runtime_error("the engine could not create an object of kind " +
                                 std::to_string(kind));
    return object;
}

// Digits compare as numbers and letters without case, so img2 comes before img10.
bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t i2 = i, j2 = j;
            while (i2 < a.size() && a[i2] == '0')
                ++i2;
            while (j2 < b.size() && b[j2] == '0')
                ++j2;
            std::size_t ie = i2, je = j2;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie])))
                ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je])))
                ++je;
            if (ie - i2 != je - j2)
                return ie - i2 < je - j2;
            int c = a.compare(i2, ie - i2, b, j2, je - j2);
            if (c != 0)
                return c < 0;
            i = ie;
            j = je;
            continue;
        }
        int ca = std::tolower(static_cast<unsigned char>(a[i]));
        int cb = std::tolower(static_cast<unsigned char>(b[j]));
        if (ca != cb)
            return ca < cb;
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

// Files as given, turned as --rotate says; a folder gives its supported files, in
// natural order, each turned as the folder is.
std::vector<folimo::ListedFile> expandInputs(const CliOptions& options, IFolimo& engine) {
    namespace fs = std::filesystem;
    std::vector<folimo::ListedFile> files;
    for (std::size_t n = 0; n < options.inputs.size(); ++n) {
        const std::string& input = options.inputs[n];
        const auto turn = options.turns.find(static_cast<int>(n) + 1);
        const int degrees = turn == options.turns.end() ? 0 : turn->second;
        std::error_code ec;
        if (!fs::is_directory(fs::path(input), ec)) {
            files.push_back({folimo::fromUtf8(input), degrees});
            continue;
        }
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(fs::path(input), ec)) {
            std::error_code fileEc;
            if (!entry.is_regular_file(fileEc))
                continue;
            std::string path = entry.path().string();
            if (engine.IsSupportedFile(folimo::fromUtf8(path).c_str()))
                found.push_back(path);
        }
        if (ec)
            std::fprintf(stderr, "folimo-cli: Error: cannot read the folder %s: %s\n",
                         input.c_str(), ec.message().c_str());
        std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
            return naturalLess(fs::path(a).filename().string(), fs::path(b).filename().string());
        });
        for (const std::string& path : found)
            files.push_back({folimo::fromUtf8(path), degrees});
    }
    return files;
}

bool isEmpty(const wchar_t* text) {
    return !text || !*text;
}

// Only what the command line gives changes the record, so with --use-saved-settings the
// stored values stay wherever no option says otherwise.
void applySettings(const CliOptions& o, IFolimoSettings& s) {
    for (int i = 0; i < FOLIMO_INFO_COUNT; ++i)
        if (o.info[i])
            s.SetInfo(i, folimo::fromUtf8(*o.info[i]).c_str());
    if (o.pageSize)
        s.SetPageSize(*o.pageSize);
    if (o.customWidth)
        s.SetCustomPageSize(*o.customWidth, *o.customHeight);
    if (o.landscape)
        s.SetRotatePage(*o.landscape ? 1 : 0);
    if (o.margins)
        for (int side = FOLIMO_MARGIN_LEFT; side <= FOLIMO_MARGIN_BOTTOM; ++side)
            s.SetMargin(side, (*o.margins)[side]);
    if (o.doublePage)
        s.SetDoublePage(*o.doublePage ? 1 : 0);
    if (o.imageInPage)
        s.SetImageInPage(*o.imageInPage ? 1 : 0);
    if (o.autoRotate)
        s.SetImageAutoRotate(*o.autoRotate ? 1 : 0);
    if (o.bookmarks)
        s.SetCreateBookmark(*o.bookmarks ? 1 : 0);
    if (o.encode)
        s.SetImageEncode(*o.encode);
    if (o.defaultEncode)
        s.SetDefaultImageEncode(*o.defaultEncode);
    if (o.jpegQuality)
        s.SetJpegQuality(*o.jpegQuality);
    if (o.maxWidth)
        s.SetImageMaxSize(*o.maxWidth, *o.maxHeight);
    else if (o.encode == FOLIMO_ENCODE_UNCHANGED)
        // "Unchanged" means it: the engine honours it only with both limits off.
        s.SetImageMaxSize(-1, -1);
    if (o.dpi)
        s.SetDpi(*o.dpi);
    if (const auto languages =
            recognitionLanguages(o, folimo::toUtf8(folimo::GetChosenTextLanguages()),
                                 folimo::toUtf8(folimo::DefaultTextLanguages())))
        s.SetTextLanguages(folimo::fromUtf8(*languages).c_str());
    if (o.uprightByText)
        s.SetUprightByText(*o.uprightByText ? 1 : 0);

    // The stored settings bring their text watermark at index 0 and their image
    // watermark at 1; the options change those rather than stamping a second one
    // beside them, and a watermark of their own starts from the options' defaults.
    auto stored = [&](int index, int type) -> IWatermark* {
        if (!o.useSavedSettings || index >= s.GetWatermarkCount())
            return nullptr;
        IWatermark* mark = s.GetWatermark(index);
        return mark && mark->GetType() == type ? mark : nullptr;
    };
    auto common = [](const CliOptions::Watermark& from, IWatermark& to, bool fresh) {
        // Automatic placement unless a position is given.
        if (from.x || fresh)
            to.SetPosition(from.x.value_or(-1), from.y.value_or(-1));
        if (from.opacity || fresh)
            to.SetOpacity(from.opacity.value_or(100));
        if (from.filter || fresh)
            to.SetFileFilter(folimo::fromUtf8(from.filter.value_or("")).c_str());
    };
    // Options that adjust a stored watermark without text or image (the desktop program
    // stores both, empty until the user sets them) would otherwise be ignored unseen.
    auto nothingToChange = [&](const CliOptions::Watermark& from, const char* kind) {
        if (o.quiet)
            return;
        std::string names;
        for (const auto& name : from.adjusting)
            names += (names.empty() ? "" : ", ") + name;
        std::fprintf(stderr,
                     "folimo-cli: Warning: the saved settings have no %s watermark, so %s "
                     "changes nothing; give --%s-watermark as well for one\n",
                     kind, names.c_str(), kind);
    };
    if (o.textWatermark) {
        const auto& from = *o.textWatermark;
        folimo::Owned<ITextWatermark> made;
        auto* text = static_cast<ITextWatermark*>(stored(0, FOLIMO_WATERMARK_TEXT));
        if (!text && from.content && !from.content->empty()) {
            made = create<ITextWatermark>(FOLIMO_TEXT_WATERMARK);
            text = made.get();
        }
        if (text) {
            common(from, *text, made != nullptr);
            if (from.content)
                text->SetText(folimo::fromUtf8(*from.content).c_str());
            if (from.fontSize || made)
                text->SetFontSize(from.fontSize.value_or(20));
            if (from.color || made)
                text->SetColor(from.color.value_or(0));
        }
        if (!from.content && (!text || isEmpty(text->GetText())))
            nothingToChange(from, "text");
        if (made)
            s.AddWatermark(made.release());
    }
    if (o.imageWatermark) {
        const auto& from = *o.imageWatermark;
        folimo::Owned<IImageWatermark> made;
        auto* image = static_cast<IImageWatermark*>(stored(1, FOLIMO_WATERMARK_IMAGE));
        if (!image && from.content && !from.content->empty()) {
            made = create<IImageWatermark>(FOLIMO_IMAGE_WATERMARK);
            image = made.get();
        }
        if (image) {
            common(from, *image, made != nullptr);
            if (from.content)
                image->SetImagePath(folimo::fromUtf8(*from.content).c_str());
        }
        if (!from.content && (!image || isEmpty(image->GetImagePath())))
            nothingToChange(from, "image");
        if (made)
            s.AddWatermark(made.release());
    }
    if (o.bookmarkText)
        s.SetBookmarkText(folimo::fromUtf8(*o.bookmarkText).c_str());
}

// A name for a document on its way elsewhere: hidden, short whatever the name it stands
// for (a 255-byte target leaves no room for more), and not yet taken. The engine creates
// it only when the document is whole, so a run killed before then leaves nothing.
std::string passingName(const std::string& folder) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (;;) {
        std::string name = folder + "/.folimo-";
        for (int i = 0; i < 8; ++i)
            name += kLetters[random() % (sizeof kLetters - 1)];
        name += ".pdf";
        struct stat st {};
        if (::lstat(name.c_str(), &st) != 0)
            return name;
    }
}

// A document that replaces an existing file (--overwrite). The engine never replaces
// anything, so it writes under a passing name beside the target, on the same file
// system, and only a finished document is renamed over the target: one step, so the
// name shows the old file or the new one whole, never a mixture.
class Replacement {
public:
    // `target` is an existing file that is not a folder. A link is followed, so that it
    // still leads to the document afterwards.
    explicit Replacement(const std::string& target) : target_(target) {
        namespace fs = std::filesystem;
        std::error_code ec;
        if (fs::is_symlink(fs::path(target), ec) && fs::exists(fs::path(target), ec))
            target_ = fs::canonical(fs::path(target)).string();
        const std::string folder = fs::path(target_).parent_path().string();
        fresh_ = passingName(folder.empty() ? "." : folder);
    }
    ~Replacement() {
        if (!fresh_.empty())
            ::unlink(fresh_.c_str());
    }
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    const std::string& freshPath() const { return fresh_; }

    // Puts the finished document, written at `written` (the passing name, or the next
    // free one when another run took it), in the target's place. On failure (errno set)
    // the target is as it was.
    bool commit(const std::string& written) {
        fresh_ = written;
        // The old file's permissions carry over, as when it was written in place: a
        // shared document stays readable by the group, a private one stays private.
        struct stat old {};
        if (::stat(target_.c_str(), &old) == 0)
            ::chmod(fresh_.c_str(), old.st_mode & 0777);
        // The data reaches the disk before the name does, so a crash just after the
        // rename cannot leave an empty file where the old document was.
        if (!syncPath(fresh_, O_RDONLY))
            return false;
        if (::rename(fresh_.c_str(), target_.c_str()) != 0)
            return false;
        fresh_.clear();
        syncPath(std::filesystem::path(target_).parent_path().string(), O_RDONLY | O_DIRECTORY);
        return true;
    }

    // A document that is not to replace the target (a stopped run) goes.
    void discard(const std::string& written) { fresh_ = written; }

private:
    static bool syncPath(const std::string& path, int flags) {
        int fd = ::open(path.empty() ? "." : path.c_str(), flags | O_CLOEXEC);
        if (fd < 0)
            return false;
        bool synced = ::fsync(fd) == 0;
        int saved = errno;
        ::close(fd);
        errno = saved;
        return synced;
    }

    std::string target_, fresh_;
};

// A document for standard output (`-o -`), as converters of its kind write one: made
// under a passing name in the temporary folder, then copied out whole, so a reader never
// gets a document that a failed run cut short. Its name goes as soon as it is opened.
class PipedDocument {
public:
    PipedDocument() {
        const char* tmp = std::getenv("TMPDIR");
        path_ = passingName(tmp && *tmp ? tmp : "/tmp");
    }
    ~PipedDocument() { ::unlink(path_.c_str()); }
    PipedDocument(const PipedDocument&) = delete;
    PipedDocument& operator=(const PipedDocument&) = delete;

    const std::string& path() const { return path_; }

    // Sends the document written at `written` (the passing name, or the next free one).
    // False, with errno set, when it could not be read or written out.
    bool send(const std::string& written) {
        path_ = written;
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path_.c_str(), "rbe"),
                                                           std::fclose);
        if (!in)
            return false;
        ::unlink(path_.c_str());
        char buffer[1 << 16];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, in.get())) > 0)
            if (std::fwrite(buffer, 1, n, stdout) != n)
                return false;
        return !std::ferror(in.get()) && std::fflush(stdout) == 0;
    }

private:
    std::string path_;
};

// Margins that leave no room for the image would make pages without it: refused, with
// the page they were measured on, since the page size may come from the saved settings.
bool marginsLeaveRoom(IFolimoSettings& s) {
    if (FolimoMarginsLeaveRoom(s))
        return true;
    const FolimoPageExtent page = FolimoFixedPageOf(s);
    std::fprintf(stderr,
                 "folimo-cli: margins of %d,%d,%d,%d points leave no room for the image on a "
                 "page of %d x %d points%s; give --margins that leave at least one point\n"
                 "Try 'folimo-cli --help'.\n",
                 s.GetMargin(FOLIMO_MARGIN_LEFT), s.GetMargin(FOLIMO_MARGIN_TOP),
                 s.GetMargin(FOLIMO_MARGIN_RIGHT), s.GetMargin(FOLIMO_MARGIN_BOTTOM), page.width,
                 page.height, s.GetDoublePage() ? " (each half of it with --double-page)" : "");
    return false;
}

// The engine with the run's settings: the saved ones first when asked, then the options.
// Null, after saying why, when the settings cannot make a page.
folimo::Owned<IFolimo> makeEngine(const CliOptions& options) {
    // The engine reads its budget for one decoded image from the environment, once.
    if (options.maxMemory)
        ::setenv("FOLIMO_MAX_MEMORY", options.maxMemory->c_str(), 1);
    auto engine = create<IFolimo>(FOLIMO_ENGINE);
    if (options.useSavedSettings) {
        const std::wstring refused = folimo::RefusedStoreFile();
        if (!refused.empty())
            std::fprintf(stderr,
                         "folimo-cli: the settings file %s is not a regular file and is not "
                         "read; the default settings apply\n",
                         folimo::toUtf8(refused).c_str());
        folimo::LoadEngineSettings(engine->GetSettings());
    }
    applySettings(options, *engine->GetSettings());
    if (!marginsLeaveRoom(*engine->GetSettings()))
        return nullptr;
    return engine;
}

// One document per folder or per image, through the same runner as the desktop
// program, so both write the same files under the same free names.
int runDocuments(const CliOptions& options) {
    auto engine = makeEngine(options);
    if (!engine)
        return 2;
    const std::vector<folimo::ListedFile> files = expandInputs(options, *engine);
    if (files.empty()) {
        std::fprintf(stderr, "folimo-cli: Error: no supported files in the given folders\n");
        return 1;
    }
    const auto jobs = folimo::SplitIntoJobs(files, folimo::ConversionMode(options.mode),
                                            folimo::fromUtf8(options.output));
    folimo::TextExpander expander;
    ConsoleProcess process(options.quiet, options.json, files.size(), std::string(), interrupted);
    handleStopSignals(onInterrupt);
    const std::vector<std::wstring> written = folimo::RunJobs(*engine, jobs, &process, &expander);
    process.EndBar();
    handleStopSignals(SIG_DFL);
    const bool cancelled = interrupted();
    std::string names = "[";
    for (const std::wstring& name : written) {
        names += (names.size() > 1 ? "," : "") + jsonString(name);
        if (!options.json && !options.quiet)
            std::printf("%s\n", folimo::toUtf8(name).c_str());
    }
    if (options.json)
        ConsoleProcess::emit(std::string("{\"event\":\"done\",\"ok\":") +
                             (written.empty() ? "false" : "true") + ",\"outputs\":" + names +
                             "],\"failed\":" + std::to_string(process.failed()) +
                             ",\"cancelled\":" + (cancelled ? "true" : "false") + "}");
    if (cancelled && !options.json && !options.quiet)
        std::fprintf(stderr, "folimo-cli: stopped; the PDFs hold the pages made so far\n");
    if (cancelled)
        return stoppedStatus();
    if (written.empty())
        return 1;
    const bool whole = written.size() == jobs.size();
    return process.failed() > 0 || process.errors() > 0 || !whole ? 3 : 0;
}

// Scans the run's inputs into `folder`. Nonzero, after saying why, when there is
// nothing to convert: the status to end with. `cutShort` when a failure ended the batch
// after some pages.
int scanInputs(const CliOptions& options, const std::string& folder,
               std::vector<std::string>& files, bool& cutShort) {
    ScanOutcome scanned =
        scanPages(*options.scan, folder, options.quiet, options.json, interrupted);
    // The stop was the scan's; a signal during the conversion stops that in turn.
    scanStopSignal = stopSignal.exchange(0);
    files = scanned.pages;
    std::string failure;
    if (scanned.failure != folimo::scan::Failure::None)
        failure =
            "Error: " + scanFailureText(scanned.failure, options.scan->device, scanned.message);
    else if (files.empty() && scanStopSignal == 0)
        failure = "Error: no page to convert: every page scanned was blank";
    if (!failure.empty()) {
        if (options.json)
            ConsoleProcess::emit("{\"event\":\"error\",\"message\":" + jsonString(failure) + "}");
        else
            std::fprintf(stderr, "folimo-cli: %s%s\n", failure.c_str(),
                         files.empty() ? "; no PDF is made" : "");
    }
    cutShort = !failure.empty();
    if (!files.empty())
        return 0;
    handleStopSignals(SIG_DFL);
    if (options.json)
        ConsoleProcess::emit(std::string("{\"event\":\"done\",\"ok\":false,\"output\":null,"
                                         "\"failed\":0,\"cancelled\":") +
                             (scanStopSignal ? "true" : "false") + "}");
    else if (scanStopSignal && !options.quiet)
        std::fprintf(stderr, "folimo-cli: stopped before a page was scanned; no PDF is made\n");
    return scanStopSignal ? stoppedStatus() : 1;
}

int run(const CliOptions& options) {
    if (options.mode != 0)
        return runDocuments(options);
    const bool piped = options.output == "-";
    if (piped && options.json) {
        std::fprintf(stderr, "folimo-cli: -o - and --json both need standard output\n");
        return 2;
    }
    // A folder is no name for a document: taking "photos (1)" instead would hide the
    // mistake behind a file nobody asked for.
    struct stat existing {};
    if (!piped && (options.output.back() == '/' ||
                   (::stat(options.output.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)))) {
        std::fprintf(stderr,
                     "folimo-cli: %s is a folder; give the name of the PDF to write, such as "
                     "-o %s/all.pdf\n",
                     options.output.c_str(),
                     options.output.substr(0, options.output.find_last_not_of('/') + 1).c_str());
        return 2;
    }
    // A folder cannot be replaced by a document, and refusing before any work keeps the
    // answer quick and the folder as it is.
    bool replacing = options.overwrite && ::lstat(options.output.c_str(), &existing) == 0;
    if (replacing && ::stat(options.output.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
        std::fprintf(stderr, "folimo-cli: %s is %s; --overwrite replaces only files\n",
                     options.output.c_str(),
                     S_ISDIR(existing.st_mode) ? "a folder" : "not a regular file");
        return 2;
    }

    auto engine = makeEngine(options);
    if (!engine)
        return 2;
    std::vector<folimo::ListedFile> files;
    std::unique_ptr<ScanFolder> scans;
    bool scanCutShort = false;
    if (options.scan) {
        // From before the scans' folder is made, so that a stop never leaves it behind.
        handleStopSignals(onInterrupt);
        scans = std::make_unique<ScanFolder>(options.scan->keepFolder);
        std::vector<std::string> scanned;
        if (const int status = scanInputs(options, scans->path(), scanned, scanCutShort))
            return status;
        for (const std::string& page : scanned)
            files.push_back({folimo::fromUtf8(page)});
    } else {
        files = expandInputs(options, *engine);
    }
    if (files.empty()) {
        std::fprintf(stderr, "folimo-cli: Error: no supported files in the given folders\n");
        return 1;
    }
    for (std::size_t i = 0; i < files.size(); ++i)
        engine->AddTurnedFile(files[i].path.c_str(), static_cast<int>(i),
                              files[i].clockwiseDegrees);

    std::unique_ptr<PipedDocument> pipe;
    if (piped)
        pipe = std::make_unique<PipedDocument>();
    std::filesystem::path parent = std::filesystem::path(options.output).parent_path();
    if (!piped && !parent.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(parent, ec);
        if (ec) {
            std::fprintf(stderr, "folimo-cli: Error: cannot create the folder %s: %s\n",
                         parent.c_str(), ec.message().c_str());
            return 1;
        }
    }
    // Without --overwrite an existing name is kept and the next free one taken; with it
    // a missing target is simply written.
    std::wstring output = folimo::fromUtf8(options.output);
    if (!options.overwrite && !piped)
        output = folimo::freeOutputName(output);
    std::unique_ptr<Replacement> replacement;
    if (replacing && !piped)
        replacement = std::make_unique<Replacement>(options.output);
    std::wstring written = replacement ? folimo::fromUtf8(replacement->freshPath())
                           : pipe      ? folimo::fromUtf8(pipe->path())
                                       : output;

    folimo::TextExpander expander;
    engine->SetTextCallback(&expander);
    ConsoleProcess process(options.quiet, options.json, files.size(), folimo::toUtf8(output),
                           interrupted);
    // The handler stays until the replacement is settled, so Ctrl+C cannot stop the
    // program between the document's completion and its rename.
    handleStopSignals(onInterrupt);
    int ok = engine->Convert(written.c_str(), &process);
    process.EndBar();
    const bool cancelled = interrupted() || scanStopSignal != 0;
    // Another run may have taken the name meanwhile; the document then bears the next.
    const std::string made = ok ? folimo::toUtf8(engine->GetOutputPath()) : std::string();
    if (ok && !replacement && !pipe)
        output = folimo::fromUtf8(made);
    if (ok && replacement) {
        if (cancelled) {
            ok = 0; // a part of the new document is not worth the whole old one
            replacement->discard(made);
        } else if (!replacement->commit(made)) {
            ok = 0;
            std::string why = std::strerror(errno);
            if (options.json)
                ConsoleProcess::emit(
                    "{\"event\":\"error\",\"message\":" +
                    jsonString("Error: cannot replace '" + options.output + "': " + why) + "}");
            else
                std::fprintf(stderr, "folimo-cli: Error: cannot replace '%s': %s\n",
                             options.output.c_str(), why.c_str());
        }
    }
    replacement.reset();
    if (ok && pipe && !pipe->send(made)) {
        ok = 0;
        std::fprintf(stderr, "folimo-cli: Error: cannot write the PDF to standard output: %s\n",
                     std::strerror(errno));
    }
    pipe.reset();
    handleStopSignals(SIG_DFL);
    if (options.json)
        ConsoleProcess::emit(std::string("{\"event\":\"done\",\"ok\":") + (ok ? "true" : "false") +
                             ",\"output\":" + (ok ? jsonString(output) : "null") +
                             ",\"failed\":" + std::to_string(process.failed()) +
                             ",\"cancelled\":" + (cancelled ? "true" : "false") + "}");
    if (replacing && !ok && !options.json && !options.quiet)
        std::fprintf(stderr, "folimo-cli: %s%s is left as it was\n", cancelled ? "stopped; " : "",
                     options.output.c_str());
    if (!ok)
        return cancelled ? stoppedStatus() : 1;
    if (!options.json && !piped && !options.quiet)
        std::printf("%s\n", folimo::toUtf8(output).c_str());
    if (cancelled && !options.quiet)
        std::fprintf(stderr, "folimo-cli: stopped; the PDF holds the pages made so far\n");
    if (cancelled)
        return stoppedStatus();
    return process.failed() > 0 || process.errors() > 0 || scanCutShort ? 3 : 0;
}

} // namespace

int main(int argc, char** argv) {
    folimo::tuneHeapForPictures();
    // The PDF is the product, the reports only tell of it: a reader that stops reading
    // them (`folimo-cli --json ... | head -1`) must not end the run. Writes to a closed
    // pipe then fail quietly instead of killing the process.
    std::signal(SIGPIPE, SIG_IGN);
    CliOptions options;
    try {
        options = parseCliOptions(argc, argv);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "folimo-cli: %s\nTry 'folimo-cli --help'.\n", e.what());
        return 2;
    }
    if (options.help) {
        std::fputs(cliUsage(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("folimo-cli %s\n", FOLIMO_CLI_VERSION);
        return 0;
    }
    try {
        if (options.listScanners)
            return listScanners(options.json);
        return run(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "folimo-cli: Error: %s\n", e.what());
        return 1;
    }
}
