#include "TextExpansion.h"

#include <folimo/WideText.h>

#include <ctime>
#include <cwctype>
#include <sys/stat.h>

namespace folimo {

namespace {

std::wstring upper(std::wstring_view s) {
    std::wstring out(s);
    for (auto& c : out)
        c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return out;
}

// The file's name up to its first ".": the FILENAME placeholder of photo.2020.jpg is
// "photo".
std::wstring fileNamePart(const wchar_t* path) {
    std::wstring p = path ? path : L"";
    auto slash = p.find_last_of(L"/\\");
    std::wstring name = slash == std::wstring::npos ? p : p.substr(slash + 1);
    auto dot = name.find(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

bool modificationDate(const wchar_t* path, std::wstring* out) {
    struct stat st {};
    if (!path || ::stat(toUtf8(path).c_str(), &st) != 0)
        return false;
    std::tm tm{};
    std::time_t t = st.st_mtime;
    if (!localtime_r(&t, &tm))
        return false;
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y/%m/%d", &tm);
    *out = fromUtf8(buf);
    return true;
}

} // namespace

std::wstring expandPlaceholders(std::wstring_view text, const TextContext& context) {
    std::wstring out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != L'%') {
            out += text[i++];
            continue;
        }
        auto close = text.find(L'%', i + 1);
        if (close == std::wstring_view::npos)
            break;
        std::wstring_view name = text.substr(i + 1, close - i - 1);
        i = close + 1;
        std::wstring key = upper(name);
        std::wstring date;
        if (name.empty())
            out += L'%';
        else if (key == L"FILENAME")
            out += fileNamePart(context.currentFile);
        else if (key == L"NUMBER")
            out += std::to_wstring(context.pageCount + 1);
        else if (key == L"MDATA" && modificationDate(context.currentFile, &date))
            out += date;
        else
            out += name;
    }
    return out;
}

const wchar_t* TextExpander::ExpandText(const wchar_t* text, TextContext* context) noexcept {
    try {
        static const TextContext none{};
        result_ = expandPlaceholders(text ? text : L"", context ? *context : none);
    } catch (...) {
        result_.clear();
    }
    return result_.c_str();
}

} // namespace folimo
