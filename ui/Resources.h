// Strings, colours and sizes of the interface package, as layouts and code name them.
#pragma once

#include <QRgb>
#include <QString>

class QIODevice;

namespace folimo::ui {

// The text named `name` ("title" or "@string/title") in the package's string table
// (":/values/strings.xml", <strings><string name="n">text</string></strings>). A missing
// name answers the name itself, so a gap shows in the interface instead of an empty
// label; *found tells the two apart. The text is shown translated (context "strings")
// unless the table marks it translatable="false".
QString GetString(const QString& name, bool* found = nullptr);

// A colour as ARGB with alpha in the top byte (QColor::fromRgba takes it). `value` is a
// name from the colour table (":/values/colors.xml", <colors><color name="n"
// value="#RRGGBBAA"/></colors>), by itself or as "@color/n", or a colour written out:
// "#RRGGBBAA", "#RRGGBB", "rgb(r,g,b)", "rgba(r,g,b,a)" with 0..255 parts. 0 (fully
// transparent) with *ok false when it is neither.
QRgb GetColor(const QString& value, bool* ok = nullptr);

// A layout size in pixels: "30dp" (also "dip", "sp") is scaled by the screen's logical
// DPI / 96, "30px" and "30" are pixels; fractions round to the nearest pixel. 0 with *ok
// false for anything else. The second form takes the DPI to scale by.
int GetLayoutSize(const QString& size, bool* ok = nullptr);
int GetLayoutSize(const QString& size, qreal logicalDpi, bool* ok = nullptr);

// Replace the tables with others (tests, tools). Until one of these succeeds, the first
// lookup reads the table from the registered package. False, with the table unchanged,
// when the file cannot be read.
bool LoadStringTable(const QString& path);
bool LoadStringTable(QIODevice* device);
bool LoadColorTable(const QString& path);
bool LoadColorTable(QIODevice* device);

} // namespace folimo::ui
