#include "OptionList.h"

#include "base/PdfError.h"

#include <folimo/WideText.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace folimo::pdf {

namespace {
bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

[[noreturn]] void notANumber(const std::string& key, const std::string& value) {
    throw PdfError(kErrOption, "", "option " + key + ": '" + value + "' is not a number");
}
} // namespace

OptionList::OptionList(std::wstring_view wide) {
    const std::string s = toUtf8(wide);
    std::size_t i = 0;
    auto error = [&](const std::string& why) {
        throw PdfError(kErrOption, "", "option list '" + s + "': " + why);
    };
    while (true) {
        while (i < s.size() && blank(s[i]))
            ++i;
        if (i >= s.size())
            break;
        std::size_t start = i;
        while (i < s.size() && !blank(s[i]) && s[i] != '=' && s[i] != '{' && s[i] != '}')
            ++i;
        std::string key = s.substr(start, i - start);
        if (key.empty())
            error("a value without a key");
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        while (i < s.size() && blank(s[i]))
            ++i;
        if (i >= s.size() || s[i] != '=') {
            values_[key] = "true";
            continue;
        }
        ++i;
        while (i < s.size() && blank(s[i]))
            ++i;
        if (i >= s.size())
            error("no value for " + key);
        std::string value;
        if (s[i] == '{') {
            int depth = 0;
            std::size_t open = i;
            for (; i < s.size(); ++i) {
                if (s[i] == '{')
                    ++depth;
                else if (s[i] == '}' && --depth == 0)
                    break;
            }
            if (depth != 0)
                error("unbalanced braces");
            value = s.substr(open + 1, i - open - 1);
            ++i;
        } else {
            std::size_t vstart = i;
            while (i < s.size() && !blank(s[i]))
                ++i;
            value = s.substr(vstart, i - vstart);
        }
        values_[key] = value;
    }
}

std::string OptionList::text(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? std::string() : it->second;
}

std::vector<double> OptionList::numbers(const std::string& key,
                                        std::initializer_list<int> counts) const {
    std::vector<double> out;
    std::string value = text(key);
    const char* p = value.c_str();
    while (*p) {
        while (*p && blank(*p))
            ++p;
        if (!*p)
            break;
        // from_chars, unlike strtod, ignores the process locale (a GUI sets it from the
        // environment, and some locales write a decimal comma).
        const char* wordEnd = p;
        while (*wordEnd && !blank(*wordEnd))
            ++wordEnd;
        const char* start = *p == '+' ? p + 1 : p;
        double v = 0;
        auto [end, ec] = std::from_chars(start, wordEnd, v);
        if (ec != std::errc() || end != wordEnd)
            notANumber(key, value);
        out.push_back(v);
        p = wordEnd;
    }
    if (std::find(counts.begin(), counts.end(), static_cast<int>(out.size())) == counts.end())
        throw PdfError(kErrOption, "",
                       "option " + key + ": wrong count of numbers in '" + value + "'");
    return out;
}

void OptionList::allowOnly(std::initializer_list<std::string_view> known,
                           const std::string& api) const {
    for (const auto& [key, value] : values_)
        if (std::find(known.begin(), known.end(), key) == known.end())
            throw PdfError(kErrOption, api, "unknown option '" + key + "'");
}

} // namespace folimo::pdf
