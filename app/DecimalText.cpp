#include "DecimalText.h"

#include <QChar>

#include <algorithm>
#include <climits>

namespace folimo {

namespace {

int saturate(long long value) {
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

} // namespace

int ParseDecimal(QStringView text) {
    qsizetype at = 0;
    while (at < text.size() && text[at].isSpace())
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == u'+' || text[at] == u'-'))
        negative = text[at++] == u'-';
    // Past INT_MAX + 1 more digits change nothing but must still be read over.
    constexpr long long kBeyond = static_cast<long long>(INT_MAX) + 2;
    long long value = 0;
    for (; at < text.size() && text[at].category() == QChar::Number_DecimalDigit; ++at)
        value = std::min(kBeyond, value * 10 + text[at].digitValue());
    return saturate(negative ? -value : value);
}

int HundredMinus(int value) {
    return saturate(100LL - value);
}

} // namespace folimo
