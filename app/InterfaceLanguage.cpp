#include "InterfaceLanguage.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>

namespace folimo {

namespace {

QString cataloguePrefix() {
    return QStringLiteral("folimo_");
}

} // namespace

QString ChooseInterfaceLanguage(const QStringList& preferred, const QStringList& catalogues) {
    for (QString name : preferred) {
        // "zh-Hans-CN" and "pt-BR" as catalogues are named: "zh_Hans_CN", "pt_BR".
        name.replace(QLatin1Char('-'), QLatin1Char('_'));
        const QString language = name.section(QLatin1Char('_'), 0, 0).toLower();
        if (language == kSourceLanguage)
            return kSourceLanguage;
        for (const QString& catalogue : catalogues) {
            if (catalogue.compare(name, Qt::CaseInsensitive) == 0)
                return catalogue;
        }
        for (const QString& catalogue : catalogues) {
            if (catalogue.compare(language, Qt::CaseInsensitive) == 0)
                return catalogue;
        }
    }
    return kFallbackLanguage;
}

QStringList CatalogueLanguages(const QString& folder) {
    QStringList languages;
    const QStringList files =
        QDir(folder).entryList({cataloguePrefix() + QStringLiteral("*.qm")}, QDir::Files);
    for (const QString& file : files)
        languages.append(
            file.mid(cataloguePrefix().size(), file.size() - cataloguePrefix().size() - 3));
    return languages;
}

InterfaceTranslation::InterfaceTranslation(const QString& language, const QString& catalogueFolder,
                                           QString* error) {
    const auto install = [this](std::unique_ptr<QTranslator> translator) {
        QCoreApplication::installTranslator(translator.get());
        installed_.push_back(std::move(translator));
    };
    if (language != kSourceLanguage) {
        auto ours = std::make_unique<QTranslator>();
        const QString path = QDir(catalogueFolder).filePath(cataloguePrefix() + language + ".qm");
        if (ours->load(path)) {
            install(std::move(ours));
        } else {
            if (error)
                *error = QStringLiteral("the translation %1 cannot be read").arg(path);
            return;
        }
    }
    // Qt's buttons and dialogs speak English by themselves; other languages need Qt's
    // catalogue, which may be missing (it is a package of its own) without harm.
    auto qt = std::make_unique<QTranslator>();
    if (qt->load(QLocale(language), QStringLiteral("qtbase"), QStringLiteral("_"),
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        install(std::move(qt));
}

InterfaceTranslation::~InterfaceTranslation() {
    for (const auto& translator : installed_)
        QCoreApplication::removeTranslator(translator.get());
}

} // namespace folimo
