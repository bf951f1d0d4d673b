#include "ListStore.h"

#include "ImageList.h"

#include <folimo/WideText.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace folimo {

namespace {

constexpr std::string_view kHeader = "folimo list 1";
// Far beyond any real list (ten thousand rows take about a megabyte): a stray huge file
// in its place is read no further.
constexpr std::size_t kMaxBytes = 64u << 20;

bool isQuarterTurn(int degrees) {
    return degrees == 0 || degrees == 90 || degrees == 180 || degrees == 270;
}

void escapeInto(std::string& out, std::string_view path) {
    for (char c : path) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
}

std::string unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (text[++i]) {
        case 't':
            out += '\t';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case '\\':
            out += '\\';
            break;
        default: // not ours: kept as it stands
            out += '\\';
            out += text[i];
        }
    }
    return out;
}

// A path of a file that is there but is not a regular one; lstat, and for a link
// its target opened without blocking.
bool notARegularFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno != ENOENT;
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return !regular;
}

} // namespace

std::string FormatList(const std::vector<SavedRow>& rows) {
    std::string text(kHeader);
    text += '\n';
    for (const SavedRow& row : rows) {
        text += std::to_string(isQuarterTurn(row.clockwiseDegrees) ? row.clockwiseDegrees : 0);
        text += '\t';
        escapeInto(text, toUtf8(row.path));
        text += '\n';
    }
    return text;
}

std::vector<SavedRow> ParseList(std::string_view text) {
    std::vector<SavedRow> rows;
    // Every row is written with its line end: a last line without one was cut short,
    // and its path may be too.
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string_view::npos;
         start = end + 1) {
        const std::string_view line = text.substr(start, end - start);
        const std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos || tab == 0 || tab > 3 ||
            line.find('\0') != std::string_view::npos)
            continue;
        int degrees = 0;
        for (char c : line.substr(0, tab))
            degrees = c >= '0' && c <= '9' ? degrees * 10 + (c - '0') : -1000;
        const std::string path = unescape(line.substr(tab + 1));
        if (!isQuarterTurn(degrees) || path.empty())
            continue;
        rows.push_back({fromUtf8(path), degrees});
    }
    return rows;
}

bool SaveList(const std::wstring& file, const std::vector<SavedRow>& rows) {
    const std::string name = toUtf8(file);
    const QString qname = QString::fromStdWString(file);
    struct stat st {};
    if (::lstat(name.c_str(), &st) == 0 && notARegularFile(name))
        return false;
    if (rows.empty())
        return !QFileInfo::exists(qname) || QFile::remove(qname);
    if (!QDir().mkpath(QFileInfo(qname).absolutePath()))
        return false;
    QSaveFile out(qname);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    const std::string text = FormatList(rows);
    if (out.write(text.data(), qint64(text.size())) != qint64(text.size())) {
        out.cancelWriting();
        return false;
    }
    return out.commit();
}

std::vector<SavedRow> LoadList(const std::wstring& file) {
    const std::string name = toUtf8(file);
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat st {};
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buffer[65536];
        for (ssize_t n; text.size() < kMaxBytes && (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            text.append(buffer, std::size_t(n));
        }
    }
    ::close(fd);
    return ParseList(text);
}

std::vector<SavedRow> SavedRowsOf(const SFileListAdapter& list) {
    std::vector<SavedRow> rows;
    rows.reserve(std::size_t(list.GetCount()));
    for (const ListRow& row : list.GetRows())
        rows.push_back({row.item->field(ImageListItem::Path), row.clockwiseDegrees});
    return rows;
}

void RestoreRows(SFileListAdapter& list, const std::vector<SavedRow>& rows) {
    for (const SavedRow& row : rows) {
        list.AddItem(row.path);
        list.GetItemData(list.GetCount() - 1)->setClockwiseDegrees(row.clockwiseDegrees);
    }
}

} // namespace folimo
