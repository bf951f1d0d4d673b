// Numbers typed into the settings window, read the way the Windows C library's wcstol
// reads them in base 10: nothing typed is refused, it is read as far as it makes sense.
#pragma once

#include <QStringView>

namespace folimo {

// Leading blanks, then an optional "+" or "-", then decimal digits up to the first
// other character: "12abc" reads 12, " -7" reads -7, "" and "abc" read 0. Digits of
// other scripts count as well (full-width "１２" reads 12, as typed with a Chinese input
// method). A number beyond an int gives the nearest int, as a 32-bit long saturates.
int ParseDecimal(QStringView text);

// 100 - value without overflow: the settings window shows opacities as transparencies.
int HundredMinus(int value);

} // namespace folimo
