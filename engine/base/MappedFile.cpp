#include "base/MappedFile.h"

#include "base/ByteCount.h"
#include "base/PdfError.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace folimo::pdf {

using base::byteCount;

namespace {

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Enough for any format's signature and first header.
constexpr std::size_t kHeadBytes = 64 * 1024;

} // namespace

MappedFile::MappedFile(const std::string& path, std::uint64_t most, const Refusal& refusal) {
    // Not blocking: opening a named pipe for reading would wait for a writer forever,
    // before anything could tell it is not a file.
    Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
    if (file.fd < 0)
        throw PdfError(kErrOpenFile, "", "cannot open '" + path + "': " + std::strerror(errno));
    struct stat before {};
    if (::fstat(file.fd, &before) != 0 || !S_ISREG(before.st_mode))
        throw PdfError(kErrOpenFile, "", "'" + path + "' is not a regular file");
    if (std::uint64_t(before.st_size) > most) {
        std::vector<std::uint8_t> head(kHeadBytes);
        const ssize_t n = ::pread(file.fd, head.data(), head.size(), 0);
        const std::string reason =
            n < 0     ? std::strerror(errno)
            : refusal ? refusal({head.data(), std::size_t(n)}, std::uint64_t(before.st_size))
                      : "the file of " + byteCount(std::uint64_t(before.st_size)) +
                            " is larger than the " + byteCount(most) + " allowed";
        if (!reason.empty())
            throw PdfError(kErrOpenFile, "", "cannot read '" + path + "': " + reason);
    }
    size_ = static_cast<std::size_t>(before.st_size);
    if (size_ == 0)
        return;
    // Read, not mapped: a mapped file that shrinks while it is read kills the process
    // with SIGBUS at the first page past its new end, and no signal handler can give
    // that back as an error. The copy costs little beside decoding.
    data_.reset(static_cast<std::uint8_t*>(std::malloc(size_)));
    if (!data_)
        throw PdfError(kErrOpenFile, "", "cannot read '" + path + "': not enough memory");
    std::size_t done = 0;
    while (done < size_) {
        ssize_t n = ::pread(file.fd, data_.get() + done, size_ - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw PdfError(kErrOpenFile, "", "cannot read '" + path + "': " + std::strerror(errno));
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    struct stat after {};
    if (done != size_ || ::fstat(file.fd, &after) != 0 || !sameFile(before, after))
        throw PdfError(kErrOpenFile, "",
                       "cannot read '" + path + "': the file changed while it was read");
}

MappedFile::~MappedFile() = default;

} // namespace folimo::pdf
