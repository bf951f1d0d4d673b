// Downloading the installer of a newer version into the user's temporary folder, with
// progress the update window reads and a stop it can give.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace folimo {

// The download's progress: written by the download, read by the window's timer, both
// under its lock; the window stops the download through it.
class CDownloadProcess {
public:
    // What the download is doing when it reports.
    enum Status : std::uint32_t {
        FindingResource = 1,
        Connecting = 2,
        Redirecting = 3,
        BeginDownloadData = 4,
        DownloadingData = 5,
        EndDownloadData = 6, // its text is the address the data finally came from
    };

    // The download's side. False once Abort was called: the download then ends.
    bool OnProgress(std::uint64_t progress, std::uint64_t maximum, std::uint32_t status,
                    const std::wstring& text);

    // The window's side.
    void Abort();
    bool Aborted() const;
    // progress * 1000 / maximum, 0 while the size is unknown.
    int Permille() const;
    std::uint32_t StatusCode() const;
    std::wstring StatusText() const;
    std::wstring FinalName() const;

private:
    mutable std::mutex lock_;
    std::uint64_t progress_ = 0;
    std::uint64_t maximum_ = 0;
    std::uint32_t status_ = 0;
    std::wstring statusText_;
    std::wstring finalName_;
    bool abort_ = false;
};

struct DownloadResult {
    bool ok = false;
    std::wstring path; // the installer where it landed; on failure the unfinished file left behind
};

// Whether a program may be fetched from `address` and started: only over https, whose
// server proves who it is, or from this machine itself (http to localhost or a
// loopback address). Anything else, plain http included, could be swapped on its way.
bool InstallerAddressTrusted(const std::wstring& address);

// Downloads `address` (a trusted one, see above; redirects never to a less safe one) into a new
// temporary file named "ns…" in the user's temporary folder, then moves it in that folder to the
// address's file name, numbered when taken. Blocks the calling thread, with an event
// loop of its own; needs a QCoreApplication. A download that receives nothing for
// `stall` fails. On failure the temporary file stays.
DownloadResult DownloadInstaller(const std::wstring& address, CDownloadProcess& sink,
                                 std::chrono::milliseconds stall = std::chrono::seconds(60));

// The name a download is kept under: the last path component of the address the data
// came from, decoded. A component that is no plain file name ("", ".", "..", control
// characters) becomes "installer", so the file stays in its folder.
std::wstring DownloadedFileName(const std::wstring& finalAddress);

// Moves `file` into `folder` as `name`, or "name (1).ext", "name (2).ext"... when taken
// (" (n)" at the end of a name without "."), never replacing a file, even one that
// appears meanwhile. The new path; empty when the move failed.
std::wstring MoveToFreeName(const std::wstring& file, const std::wstring& folder,
                            const std::wstring& name);

} // namespace folimo
