#include "ConversionJob.h"

#include "OutputNames.h"

#include <folimo/WideText.h>

#include <cwctype>
#include <filesystem>
#include <map>

namespace folimo {

namespace {

std::wstring folderOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L'/');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring lower(std::wstring text) {
    for (wchar_t& c : text)
        c = wchar_t(std::towlower(wint_t(c)));
    return text;
}

std::wstring asFolder(const std::wstring& folder) {
    return folder.empty() || folder.back() == L'/' ? folder : folder + L"/";
}

} // namespace

std::wstring FolderNameOf(const std::wstring& path) {
    if (path.find(L'/') == std::wstring::npos)
        return path.substr(0, 1);
    const std::wstring folder = folderOf(path);
    // "/x.jpg": the root has no name of its own, and an empty one would make the hidden
    // file ".pdf".
    if (folder.empty())
        return L"root";
    return folder.substr(folder.find_last_of(L'/') + 1);
}

std::wstring BaseNameOf(const std::wstring& path) {
    const std::wstring name = path.substr(path.find_last_of(L'/') + 1);
    const auto dot = name.find_last_of(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

std::vector<ConversionJob> SplitIntoJobs(const std::vector<std::wstring>& paths,
                                         ConversionMode mode, const std::wstring& output) {
    std::vector<ListedFile> files;
    files.reserve(paths.size());
    for (const std::wstring& path : paths)
        files.push_back({path});
    return SplitIntoJobs(files, mode, output);
}

std::vector<ConversionJob> SplitIntoJobs(const std::vector<ListedFile>& files, ConversionMode mode,
                                         const std::wstring& output) {
    std::vector<ConversionJob> jobs;
    switch (mode) {
    case ConversionMode::Single:
        if (!files.empty())
            jobs.push_back({files, output});
        break;
    case ConversionMode::PerFolder: {
        std::map<std::wstring, std::size_t> byFolder;
        for (const ListedFile& file : files) {
            const std::wstring& path = file.path;
            // A bare name has no folder to share: it is a group of its own.
            const bool bare = path.find(L'/') == std::wstring::npos;
            const auto [at, added] =
                byFolder.emplace(bare ? path : lower(folderOf(path)), jobs.size());
            if (added)
                jobs.push_back({{}, asFolder(output) + FolderNameOf(path) + L".pdf"});
            jobs[at->second].inputs.push_back(file);
        }
        break;
    }
    case ConversionMode::PerImage:
        for (const ListedFile& file : files) {
            const std::wstring folder =
                output.empty() ? asFolder(folderOf(file.path)) : asFolder(output);
            jobs.push_back({{file}, folder + BaseNameOf(file.path) + L".pdf"});
        }
        break;
    }
    return jobs;
}

std::vector<std::wstring> RunJobs(IFolimo& engine, const std::vector<ConversionJob>& jobs,
                                  IProcess* process, FolimoCallback* texts) {
    std::vector<std::wstring> written;
    for (const ConversionJob& job : jobs) {
        engine.ClearFiles();
        for (const ListedFile& input : job.inputs)
            engine.AddTurnedFile(input.path.c_str(), 0, input.clockwiseDegrees);
        const std::wstring name = freeOutputName(job.output);
        // A folder that cannot be made shows as the engine's own "cannot create" error.
        std::error_code ignored;
        const std::filesystem::path folder = std::filesystem::path(toUtf8(name)).parent_path();
        if (!folder.empty())
            std::filesystem::create_directories(folder, ignored);
        engine.SetTextCallback(texts);
        if (engine.Convert(name.c_str(), process) && *engine.GetOutputPath())
            written.push_back(engine.GetOutputPath());
        if (process && process->IsCancelled())
            break;
    }
    return written;
}

} // namespace folimo
