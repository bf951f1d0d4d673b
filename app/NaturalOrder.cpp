#include "NaturalOrder.h"

#include <QLocale>

namespace folimo {

QCollator NaturalOrder() {
    // The "C" locale collates by code point, without numbers; any real language knows
    // them.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English);
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    return collator;
}

} // namespace folimo
