// Option lists of the PDF library's operations: "key=value" pairs separated by
// blanks, a value of several words in braces ("boxsize={500 400}"), a key alone
// meaning true ("adjustpage"). Unknown keys are the caller's to reject.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace folimo::pdf {

class OptionList {
public:
    // Throws PdfError(kErrOption) for unbalanced braces or a missing value.
    explicit OptionList(std::wstring_view text);

    bool has(const std::string& key) const { return values_.count(key) != 0; }
    // The value with its outer braces removed; empty when absent.
    std::string text(const std::string& key) const;
    // The blank-separated numbers of a value; throws PdfError(kErrOption) for a word
    // that is not a number, or when the count is not one of `counts`.
    std::vector<double> numbers(const std::string& key, std::initializer_list<int> counts) const;
    // Throws PdfError(kErrOption) naming the first key not in `known`.
    void allowOnly(std::initializer_list<std::string_view> known, const std::string& api) const;

private:
    std::map<std::string, std::string> values_;
};

} // namespace folimo::pdf
