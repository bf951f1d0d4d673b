// A conversion run: the list's paths split into documents by mode, each written under a
// free name, one after another on the calling thread. The desktop program runs it on
// its worker thread and folimo-cli on its own, so both write the same files.
#pragma once

#include <folimo/Folimo.h>

#include <string>
#include <vector>

namespace folimo {

enum class ConversionMode {
    Single = 0,    // one document of every path, at the output path
    PerFolder = 1, // one document per folder, named after it, in the output folder
    PerImage = 2,  // one document per image, in the output folder or beside the image
};

// A file of the list as it goes into a document: turned as the person turned it.
struct ListedFile {
    std::wstring path;
    int clockwiseDegrees = 0; // 0, 90, 180 or 270
};

struct ConversionJob {
    std::vector<ListedFile> inputs;
    std::wstring output;
};

// The jobs of a run in the order they are written. Per folder, folders are known
// without regard to letter case and stand in the order they first appear; the output
// (a folder, "/" at its end or not) may be empty per image, for beside each image.
std::vector<ConversionJob> SplitIntoJobs(const std::vector<ListedFile>& files, ConversionMode mode,
                                         const std::wstring& output);
// The same for files none of which is turned.
std::vector<ConversionJob> SplitIntoJobs(const std::vector<std::wstring>& paths,
                                         ConversionMode mode, const std::wstring& output);

// The last component of the path's folder ("root" for a file directly under "/", and
// the first character of a path that has no folder at all).
std::wstring FolderNameOf(const std::wstring& path);
// The file name without the part from its last "." ("photo.2020.jpg" -> "photo.2020").
std::wstring BaseNameOf(const std::wstring& path);

// Writes each job with the engine: its inputs, a free name (" (1)" before the
// extension when the name is taken: nothing is ever overwritten), its missing folders,
// then Convert with `process` and `texts`. After each job `process->IsCancelled()`
// may end the run. Returns the names written, one per document that was made.
std::vector<std::wstring> RunJobs(IFolimo& engine, const std::vector<ConversionJob>& jobs,
                                  IProcess* process, FolimoCallback* texts);

} // namespace folimo
