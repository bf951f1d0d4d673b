// The byte level of the output: numbered objects written straight to a file, with
// only their offsets kept in memory, then the cross-reference table and trailer.
// Not thread-safe; one writer per output document.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace folimo::pdf {

class PdfWriter {
public:
    // Takes ownership of fd, an empty file open for writing. Write failures throw
    // PdfError(kErrIo) naming `name`, and the writer stays failed.
    PdfWriter(int fd, std::string name);
    ~PdfWriter();
    PdfWriter(const PdfWriter&) = delete;
    PdfWriter& operator=(const PdfWriter&) = delete;

    // Object numbers may be handed out before their object is written (a parent that
    // is written after its children); one never written becomes a null object.
    int newObjectNumber();

    void beginObject(int number); // "N 0 obj\n"; records the offset
    void endObject();             // "\nendobj\n"
    int beginNewObject() {
        int n = newObjectNumber();
        beginObject(n);
        return n;
    }

    void write(std::string_view bytes);
    void write(const void* data, std::size_t size) {
        write(std::string_view(static_cast<const char*>(data), size));
    }

    // A whole stream object. dictEntries is the inside of the dictionary without
    // /Length, which is added from the total size of the pieces.
    void writeStreamObject(int number, std::string_view dictEntries, std::string_view data);
    void writeStreamObject(int number, std::string_view dictEntries,
                           const std::vector<std::string_view>& pieces);

    // Writes the cross-reference table and the trailer, flushes and syncs nothing but
    // the writer's own buffer; the caller closes and moves the file.
    void finish(int rootNumber, int infoNumber, std::string_view fileId);

    // Closes the file after finish(), throwing when the system reports a write that
    // failed late (a network file system tells only here).
    void close();

    // The descriptor stays owned by the writer; bytes may still sit in its buffer.
    int fd() const { return fd_; }
    std::uint64_t offset() const { return written_ + buffer_.size(); }
    int objectCount() const { return static_cast<int>(offsets_.size()); }

private:
    void flush();
    void writeOut(const char* data, std::size_t size);

    std::string failure(const char* why) const;

    int fd_;
    std::string name_;
    bool failed_ = false;
    std::uint64_t written_ = 0;
    std::string buffer_;
    std::vector<std::uint64_t> offsets_; // index = object number - 1; 0 = not yet written
};

} // namespace folimo::pdf
