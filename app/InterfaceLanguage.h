// The language the windows speak. Their texts are written in Chinese; every other
// language the program speaks comes from a catalogue "folimo_<language>.qm" in a folder
// of the interface package, English among them.
#pragma once

#include <QString>
#include <QStringList>
#include <QTranslator>

#include <memory>
#include <vector>

namespace folimo {

// The language the texts are written in.
inline const QString kSourceLanguage = QStringLiteral("zh");
// What a desktop whose languages the program does not speak gets.
inline const QString kFallbackLanguage = QStringLiteral("en");

// The first of `preferred` (the desktop's languages in its order of preference, as
// QLocale::uiLanguages() gives them: "de-DE", "zh-Hans-CN", "C") that the program speaks:
// kSourceLanguage for any Chinese, or the name of a catalogue in `catalogues` ("en",
// "pt_BR"), matched with its region or without it. kFallbackLanguage when none of them
// is spoken.
QString ChooseInterfaceLanguage(const QStringList& preferred, const QStringList& catalogues);

// The languages of the catalogues in `folder` ("folimo_en.qm" -> "en").
QStringList CatalogueLanguages(const QString& folder);

// Puts the windows' texts and Qt's own (the standard buttons, the file and colour
// dialogs) into `language` for as long as it lives. The texts as written need no
// catalogue of ours, only Qt's; a catalogue that cannot be read leaves them as written,
// and *error says why.
class InterfaceTranslation {
public:
    InterfaceTranslation(const QString& language, const QString& catalogueFolder,
                         QString* error = nullptr);
    ~InterfaceTranslation();
    InterfaceTranslation(const InterfaceTranslation&) = delete;
    InterfaceTranslation& operator=(const InterfaceTranslation&) = delete;

private:
    std::vector<std::unique_ptr<QTranslator>> installed_;
};

} // namespace folimo
