#include "VersionInfo.h"

#include <folimo/WideText.h>

#include <QCoreApplication>
#include <QString>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace folimo {

namespace {

constexpr std::string_view kSectionName = ".folimo_version";
constexpr std::string_view kFormatTag = "FolimoVersion/1";
// Far beyond any real block or section-name table: a damaged file must not make us
// read gigabytes.
constexpr std::uint64_t kMaxBlock = 64 * 1024;
constexpr std::uint64_t kMaxNameTable = 1024 * 1024;
constexpr std::uint32_t kSectionNoBits = 8; // SHT_NOBITS: takes no room in the file

class File {
public:
    explicit File(const std::wstring& path)
        : fd_(::open(toUtf8(path).c_str(), O_RDONLY | O_CLOEXEC)) {
        struct stat st {};
        if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode))
            size_ = std::uint64_t(st.st_size);
    }
    ~File() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    std::uint64_t size() const { return size_; }

    // The bytes [offset, offset + count), only when the file holds all of them.
    std::optional<std::string> read(std::uint64_t offset, std::uint64_t count) const {
        if (offset > size_ || count > size_ - offset)
            return std::nullopt;
        std::string bytes(count, '\0');
        std::uint64_t done = 0;
        while (done < count) {
            const ssize_t got =
                ::pread(fd_, bytes.data() + done, count - done, off_t(offset + done));
            if (got <= 0)
                return std::nullopt;
            done += std::uint64_t(got);
        }
        return bytes;
    }

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// Fields of ELF headers in the file's own byte order and word size.
struct Elf {
    bool wide = false;      // ELFCLASS64
    bool bigEndian = false; // ELFDATA2MSB

    std::uint64_t field(const std::string& bytes, std::size_t at, int size) const {
        std::uint64_t value = 0;
        for (int i = 0; i < size; ++i) {
            const auto byte = std::uint64_t(static_cast<unsigned char>(bytes[at + i]));
            value |= bigEndian ? byte << (8 * (size - 1 - i)) : byte << (8 * i);
        }
        return value;
    }
};

struct Section {
    std::uint32_t name = 0;
    std::uint32_t type = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint32_t link = 0;
};

// The contents of the section named `wanted`, if the file is an ELF file that has it.
std::optional<std::string> readSection(const File& file, std::string_view wanted) {
    const auto ident = file.read(0, 64);
    if (!ident || ident->compare(0, 4,
                                 "\x7f"
                                 "ELF") != 0)
        return std::nullopt;
    Elf elf;
    const unsigned char cls = (*ident)[4], data = (*ident)[5];
    if ((cls != 1 && cls != 2) || (data != 1 && data != 2))
        return std::nullopt;
    elf.wide = cls == 2;
    elf.bigEndian = data == 2;
    const std::string& h = *ident;
    const std::uint64_t tableOffset = elf.wide ? elf.field(h, 0x28, 8) : elf.field(h, 0x20, 4);
    const std::uint64_t entrySize = elf.field(h, elf.wide ? 0x3A : 0x2E, 2);
    std::uint64_t count = elf.field(h, elf.wide ? 0x3C : 0x30, 2);
    std::uint64_t namesIndex = elf.field(h, elf.wide ? 0x3E : 0x32, 2);
    if (tableOffset == 0 || tableOffset > file.size() || entrySize < (elf.wide ? 0x40u : 0x28u))
        return std::nullopt;

    auto section = [&](std::uint64_t index) -> std::optional<Section> {
        const auto entry = file.read(tableOffset + index * entrySize, entrySize);
        if (!entry)
            return std::nullopt;
        Section s;
        s.name = std::uint32_t(elf.field(*entry, 0, 4));
        s.type = std::uint32_t(elf.field(*entry, 4, 4));
        s.offset = elf.wide ? elf.field(*entry, 0x18, 8) : elf.field(*entry, 0x10, 4);
        s.size = elf.wide ? elf.field(*entry, 0x20, 8) : elf.field(*entry, 0x14, 4);
        s.link = std::uint32_t(elf.field(*entry, elf.wide ? 0x28 : 0x18, 4));
        return s;
    };
    // Files with very many sections keep the real counts in the first entry.
    if (count == 0 || namesIndex == 0xFFFF) {
        const auto first = section(0);
        if (!first)
            return std::nullopt;
        if (count == 0)
            count = first->size;
        if (namesIndex == 0xFFFF)
            namesIndex = first->link;
    }
    if (count == 0 || namesIndex >= count || count > (file.size() - tableOffset) / entrySize)
        return std::nullopt;
    const auto namesSection = section(namesIndex);
    if (!namesSection || namesSection->size > kMaxNameTable)
        return std::nullopt;
    const auto names = file.read(namesSection->offset, namesSection->size);
    if (!names)
        return std::nullopt;
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto s = section(i);
        if (!s)
            return std::nullopt;
        if (s->name >= names->size())
            continue;
        const char* name = names->data() + s->name;
        if (std::string_view(name, ::strnlen(name, names->size() - s->name)) != wanted)
            continue;
        if (s->type == kSectionNoBits || s->size > kMaxBlock)
            return std::nullopt;
        return file.read(s->offset, s->size);
    }
    return std::nullopt;
}

// The block's names and values; nothing when it is not a block of ours.
std::optional<std::map<std::string, std::string>> parseBlock(const std::string& block) {
    std::map<std::string, std::string> values;
    std::size_t at = 0;
    auto next = [&]() -> std::optional<std::string> {
        const std::size_t end = block.find('\0', at);
        if (end == std::string::npos)
            return std::nullopt;
        std::string text = block.substr(at, end - at);
        at = end + 1;
        return text;
    };
    const auto tag = next();
    if (!tag || *tag != kFormatTag)
        return std::nullopt;
    while (true) {
        const auto name = next();
        if (!name || name->empty())
            break;
        const auto value = next();
        if (!value)
            break;
        values[*name] = *value;
    }
    return values;
}

} // namespace

bool ReadVersionInfo(const std::wstring& path, FileVersionInfo& info) {
    info = FileVersionInfo{};
    const File file(path);
    const auto block = readSection(file, kSectionName);
    if (!block)
        return false;
    const auto values = parseBlock(*block);
    if (!values)
        return false;
    const auto translation = values->find("\\VarFileInfo\\Translation");
    if (translation == values->end() || translation->second.empty())
        return false;
    const std::string prefix = "\\StringFileInfo\\" + translation->second + "\\";
    for (std::size_t i = 0; i < FileVersionInfo::kNames.size(); ++i) {
        const auto found = values->find(prefix + FileVersionInfo::kNames[i]);
        if (found != values->end())
            info.*FileVersionInfo::kMembers[i] = QString::fromUtf8(found->second).toStdWString();
    }
    return true;
}

std::wstring ComparableVersion(const std::wstring& fileVersion) {
    std::wstring version;
    for (wchar_t c : fileVersion) {
        if (c == L' ')
            continue;
        version += c == L',' ? L'.' : c;
    }
    return version;
}

std::wstring ComparableVersionOf(const std::wstring& path) {
    FileVersionInfo info;
    return ReadVersionInfo(path, info) ? ComparableVersion(info.fileVersion) : std::wstring();
}

std::wstring RunningProgramPath() {
    // The application caches its answer without a lock, so other threads ask the system.
    const QCoreApplication* app = QCoreApplication::instance();
    if (app && app->thread() == QThread::currentThread())
        return QCoreApplication::applicationFilePath().toStdWString();
    char buffer[4096];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    return length > 0 ? fromUtf8(std::string_view(buffer, std::size_t(length))) : std::wstring();
}

} // namespace folimo
