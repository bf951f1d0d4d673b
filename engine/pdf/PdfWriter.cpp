#include "PdfWriter.h"

#include "base/PdfError.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace folimo::pdf {

namespace {
constexpr std::size_t kBufferSize = 1 << 20;
// Larger pieces skip the buffer: an image is handed to the kernel in one call.
constexpr std::size_t kDirectWrite = 256 << 10;
} // namespace

PdfWriter::PdfWriter(int fd, std::string name) : fd_(fd), name_(std::move(name)) {
    buffer_.reserve(kBufferSize);
}

PdfWriter::~PdfWriter() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string PdfWriter::failure(const char* why) const {
    return "cannot write '" + name_ + "': " + why;
}

void PdfWriter::close() {
    const int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR)
        throw PdfError(kErrIo, "", failure(std::strerror(errno)));
}

int PdfWriter::newObjectNumber() {
    offsets_.push_back(0);
    return static_cast<int>(offsets_.size());
}

void PdfWriter::beginObject(int number) {
    if (number < 1 || number > static_cast<int>(offsets_.size()) || offsets_[number - 1] != 0)
        throw PdfError(kErrInternal, "", "object " + std::to_string(number) + " written twice");
    offsets_[number - 1] = offset();
    write(std::to_string(number));
    write(" 0 obj\n");
}

void PdfWriter::endObject() {
    write("\nendobj\n");
}

void PdfWriter::write(std::string_view bytes) {
    if (failed_)
        throw PdfError(kErrIo, "", failure("an earlier write failed"));
    if (buffer_.size() + bytes.size() <= kBufferSize) {
        buffer_.append(bytes);
        return;
    }
    flush();
    if (bytes.size() < kDirectWrite)
        buffer_.append(bytes);
    else
        writeOut(bytes.data(), bytes.size());
}

void PdfWriter::flush() {
    writeOut(buffer_.data(), buffer_.size());
    buffer_.clear();
}

void PdfWriter::writeOut(const char* p, std::size_t left) {
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failed_ = true;
            buffer_.clear();
            throw PdfError(kErrIo, "", failure(std::strerror(n < 0 ? errno : ENOSPC)));
        }
        p += n;
        left -= static_cast<std::size_t>(n);
        written_ += static_cast<std::uint64_t>(n);
    }
}

void PdfWriter::writeStreamObject(int number, std::string_view dictEntries, std::string_view data) {
    writeStreamObject(number, dictEntries, std::vector<std::string_view>{data});
}

void PdfWriter::writeStreamObject(int number, std::string_view dictEntries,
                                  const std::vector<std::string_view>& pieces) {
    std::size_t length = 0;
    for (auto piece : pieces)
        length += piece.size();
    beginObject(number);
    write("<<");
    write(dictEntries);
    write(" /Length ");
    write(std::to_string(length));
    write(" >>\nstream\n");
    for (auto piece : pieces)
        write(piece);
    write("\nendstream");
    endObject();
}

void PdfWriter::finish(int rootNumber, int infoNumber, std::string_view fileId) {
    // A number handed out for an object that was then never written (an input page
    // that failed half-way through its copy) becomes a null object, so every
    // reference to it stays valid.
    for (std::size_t i = 0; i < offsets_.size(); ++i)
        if (offsets_[i] == 0) {
            beginObject(static_cast<int>(i + 1));
            write("null");
            endObject();
        }
    std::uint64_t xref = offset();
    std::string table =
        "xref\n0 " + std::to_string(offsets_.size() + 1) + "\n0000000000 65535 f \n";
    char entry[24];
    for (auto off : offsets_) {
        std::snprintf(entry, sizeof entry, "%010llu 00000 n \n",
                      static_cast<unsigned long long>(off));
        table += entry;
        if (table.size() > kBufferSize) {
            write(table);
            table.clear();
        }
    }
    table += "trailer\n<< /Size " + std::to_string(offsets_.size() + 1) + " /Root " +
             std::to_string(rootNumber) + " 0 R";
    if (infoNumber > 0)
        table += " /Info " + std::to_string(infoNumber) + " 0 R";
    if (!fileId.empty()) {
        table += " /ID [<";
        table += fileId;
        table += "> <";
        table += fileId;
        table += ">]";
    }
    table += " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    write(table);
    flush();
}

} // namespace folimo::pdf
