// Downloading the installer of a newer version into the user's temporary folder, with
// progress the update window reads and a stop it can give.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

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
    std::wstring path; // the installer where it landed; empty on failure, when nothing is left
};

// Whether an installer may be fetched from `address`: only over https, whose server
// proves who it is, and only from one of `hosts` (the update server's own and those the
// settings name, see InstallerHosts). The update query itself travels over plain http,
// so anyone on the way could otherwise name a program of theirs.
bool InstallerAddressAllowed(const std::wstring& address, const std::vector<std::string>& hosts);

// Downloads `address` (an allowed one, see above, else it fails without connecting;
// redirects only to https on the same host) into the user's temporary folder, under the
// address's file name, numbered when taken; an existing file is never replaced. The data
// goes to an unnamed file that gets its name only when complete, so a failed or stopped
// download leaves nothing behind. The installer is never opened or run. Blocks the
// calling thread, with an event loop of its own; needs a QCoreApplication. A download
// that receives nothing for `stall` fails.
DownloadResult DownloadInstaller(const std::wstring& address, const std::vector<std::string>& hosts,
                                 CDownloadProcess& sink,
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
