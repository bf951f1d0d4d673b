// Numbers as the settings window reads them from what was typed.
#include "DecimalText.h"

#include <gtest/gtest.h>

#include <QString>

#include <climits>

namespace {

TEST(DecimalText, ReadsAsFarAsTheTextIsANumber) {
    // A superscript is no decimal digit; an ideographic space and full-width digits
    // come from Chinese input methods.
    const struct {
        const char16_t* typed;
        int read;
    } cases[] = {{u"12abc", 12},
                 {u"", 0},
                 {u"abc", 0},
                 {u"  42", 42},
                 {u"\t-7", -7},
                 {u"+8", 8},
                 {u"-", 0},
                 {u"- 5", 0},
                 {u"3 4", 3},
                 {u"1.9", 1},
                 {u"0x1F", 0},
                 {u"\u00b2", 0},
                 {u"\u3000\uff11\uff12", 12},
                 {u"2147483648", INT_MAX},
                 {u"99999999999999999999999", INT_MAX},
                 {u"-2147483648", INT_MIN},
                 {u"-99999999999", INT_MIN}};
    for (const auto& c : cases)
        EXPECT_EQ(folimo::ParseDecimal(QString::fromUtf16(c.typed)), c.read)
            << QString::fromUtf16(c.typed).toStdString();
}

TEST(DecimalText, TransparencyAndOpacityTurnIntoEachOther) {
    EXPECT_EQ(folimo::HundredMinus(30), 70);
    EXPECT_EQ(folimo::HundredMinus(250), -150);
    EXPECT_EQ(folimo::HundredMinus(INT_MIN), INT_MAX);
}

} // namespace
