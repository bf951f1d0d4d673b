#include "TextLanguageNames.h"

#include <QCoreApplication>

namespace folimo {

namespace {

// The languages people here are likely to have installed; others show their code.
const struct {
    const char* code;
    const char* name;
} kNames[] = {
    {"chi_sim", QT_TRANSLATE_NOOP("TextLanguages", "简体中文")},
    {"chi_sim_vert", QT_TRANSLATE_NOOP("TextLanguages", "简体中文（竖排）")},
    {"chi_tra", QT_TRANSLATE_NOOP("TextLanguages", "繁体中文")},
    {"chi_tra_vert", QT_TRANSLATE_NOOP("TextLanguages", "繁体中文（竖排）")},
    {"eng", QT_TRANSLATE_NOOP("TextLanguages", "英语")},
    {"jpn", QT_TRANSLATE_NOOP("TextLanguages", "日语")},
    {"kor", QT_TRANSLATE_NOOP("TextLanguages", "韩语")},
    {"deu", QT_TRANSLATE_NOOP("TextLanguages", "德语")},
    {"fra", QT_TRANSLATE_NOOP("TextLanguages", "法语")},
    {"spa", QT_TRANSLATE_NOOP("TextLanguages", "西班牙语")},
    {"por", QT_TRANSLATE_NOOP("TextLanguages", "葡萄牙语")},
    {"ita", QT_TRANSLATE_NOOP("TextLanguages", "意大利语")},
    {"rus", QT_TRANSLATE_NOOP("TextLanguages", "俄语")},
    {"ara", QT_TRANSLATE_NOOP("TextLanguages", "阿拉伯语")},
    {"vie", QT_TRANSLATE_NOOP("TextLanguages", "越南语")},
    {"tha", QT_TRANSLATE_NOOP("TextLanguages", "泰语")},
};

} // namespace

QString TextLanguageName(const QString& code) {
    for (const auto& known : kNames)
        if (code == QLatin1String(known.code))
            return QStringLiteral("%1 (%2)").arg(
                QCoreApplication::translate("TextLanguages", known.name), code);
    return code;
}

QString TextDataPackage(const QString& code) {
    return QStringLiteral("tesseract-ocr-") + code.toLower().replace(QLatin1Char('_'), '-');
}

QStringList SplitTextLanguages(const QString& languages) {
    return languages.split(QLatin1Char('+'), Qt::SkipEmptyParts);
}

} // namespace folimo
