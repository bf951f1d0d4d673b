// How the recognition languages are shown: by their name in the interface's language,
// with Tesseract's code beside it, and the Debian package that brings their data.
#pragma once

#include <QString>
#include <QStringList>

namespace folimo {

// "英语 (eng)", "English (eng)" in English; a code the program has no name for shows as
// the code alone. Call it after the interface's translation is installed.
QString TextLanguageName(const QString& code);

// The Debian package with the data of `code`: "chi_sim" -> "tesseract-ocr-chi-sim".
QString TextDataPackage(const QString& code);

// The names of a list joined by '+' ("chi_sim+eng+osd"), without empty ones.
QStringList SplitTextLanguages(const QString& languages);

} // namespace folimo
