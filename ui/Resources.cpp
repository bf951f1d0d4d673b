#include "Resources.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QRegularExpression>
#include <QScreen>
#include <QSet>
#include <QXmlStreamReader>

#include <mutex>

namespace folimo::ui {

namespace {

constexpr char stringTablePath[] = ":/values/strings.xml";
constexpr char colorTablePath[] = ":/values/colors.xml";

// A name -> value table read from <root><element name="..">..</element></root>; the value
// is the element's `valueAttribute`, or its text when that is empty. Names, patterns and
// texts bound for files are marked translatable="false" and are shown as they stand.
struct Table {
    std::mutex lock;
    bool loaded = false;
    QHash<QString, QString> values;
    QSet<QString> untranslatable;
};

Table& strings() {
    static Table table;
    return table;
}

Table& colors() {
    static Table table;
    return table;
}

bool readTable(QIODevice* device, const char* element, const char* valueAttribute,
               QHash<QString, QString>& out, QSet<QString>& untranslatable) {
    QXmlStreamReader xml(device);
    if (!xml.readNextStartElement())
        return false;
    QHash<QString, QString> values;
    QSet<QString> fixed;
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String(element)) {
            xml.skipCurrentElement();
            continue;
        }
        const QString name = xml.attributes().value(QLatin1String("name")).toString();
        QString value;
        if (valueAttribute)
            value = xml.attributes().value(QLatin1String(valueAttribute)).toString();
        if (xml.attributes().value(QLatin1String("translatable")) == QLatin1String("false"))
            fixed.insert(name);
        const QString text = xml.readElementText(QXmlStreamReader::IncludeChildElements);
        if (!valueAttribute)
            value = text;
        if (!name.isEmpty())
            values.insert(name, value);
    }
    if (xml.hasError())
        return false;
    out.swap(values);
    untranslatable.swap(fixed);
    return true;
}

bool loadInto(Table& table, QIODevice* device, const char* element, const char* attribute) {
    QHash<QString, QString> values;
    QSet<QString> untranslatable;
    if (!readTable(device, element, attribute, values, untranslatable))
        return false;
    std::lock_guard guard(table.lock);
    table.values.swap(values);
    table.untranslatable.swap(untranslatable);
    table.loaded = true;
    return true;
}

bool loadFileInto(Table& table, const QString& path, const char* element, const char* attribute) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && loadInto(table, &file, element, attribute);
}

// The package's table on first use; a package registered later is still picked up,
// because a failed read leaves the table unloaded.
bool lookup(Table& table, const QString& packagePath, const char* element, const char* attribute,
            const QString& name, QString* value, bool* translatable = nullptr) {
    bool loaded = false;
    {
        std::lock_guard guard(table.lock);
        loaded = table.loaded;
    }
    if (!loaded && !loadFileInto(table, packagePath, element, attribute))
        return false;
    std::lock_guard guard(table.lock);
    const auto found = table.values.constFind(name);
    if (found == table.values.constEnd())
        return false;
    *value = *found;
    if (translatable)
        *translatable = !table.untranslatable.contains(name);
    return true;
}

QString withoutPrefix(const QString& name, QLatin1String prefix) {
    return name.startsWith(prefix) ? name.mid(prefix.size()) : name;
}

bool parseColor(const QString& text, QRgb* rgba) {
    const QString value = text.trimmed();
    static const QRegularExpression hex(QStringLiteral("^#([0-9a-fA-F]{6}|[0-9a-fA-F]{8})$"));
    if (hex.match(value).hasMatch()) {
        const uint digits = value.mid(1).toUInt(nullptr, 16);
        // #RRGGBBAA -> AARRGGBB; six digits are opaque.
        *rgba = value.size() == 7 ? 0xFF000000u | digits : (digits >> 8) | (digits << 24);
        return true;
    }
    static const QRegularExpression function(
        QStringLiteral(
            "^rgba?\\(\\s*(\\d+)\\s*,\\s*(\\d+)\\s*,\\s*(\\d+)\\s*(?:,\\s*(\\d+)\\s*)?\\)$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = function.match(value);
    if (!match.hasMatch())
        return false;
    const bool hasAlpha = match.capturedLength(4) > 0;
    if (hasAlpha != value.startsWith(QLatin1String("rgba"), Qt::CaseInsensitive))
        return false;
    int parts[4] = {0, 0, 0, 255};
    for (int i = 0; i < (hasAlpha ? 4 : 3); ++i) {
        parts[i] = match.captured(i + 1).toInt();
        if (parts[i] > 255)
            return false;
    }
    *rgba = qRgba(parts[0], parts[1], parts[2], parts[3]);
    return true;
}

} // namespace

QString GetString(const QString& name, bool* found) {
    QString key = withoutPrefix(name, QLatin1String("@string/"));
    QString value;
    bool translatable = false;
    const bool present =
        lookup(strings(), stringTablePath, "string", nullptr, key, &value, &translatable);
    if (found)
        *found = present;
    if (!present)
        return key;
    return translatable ? QCoreApplication::translate("strings", value.toUtf8().constData())
                        : value;
}

QRgb GetColor(const QString& value, bool* ok) {
    QRgb rgba = 0;
    bool parsed = parseColor(value, &rgba);
    if (!parsed) {
        QString named;
        const QString key = withoutPrefix(value, QLatin1String("@color/"));
        parsed = lookup(colors(), colorTablePath, "color", "value", key, &named) &&
                 parseColor(named, &rgba);
    }
    if (ok)
        *ok = parsed;
    return parsed ? rgba : 0;
}

int GetLayoutSize(const QString& size, bool* ok) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return GetLayoutSize(size, screen ? screen->logicalDotsPerInch() : 96.0, ok);
}

int GetLayoutSize(const QString& size, qreal logicalDpi, bool* ok) {
    static const QRegularExpression pattern(
        QStringLiteral("^\\s*([-+]?(?:\\d+\\.?\\d*|\\.\\d+))\\s*(px|dp|dip|sp)?\\s*$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(size);
    if (ok)
        *ok = match.hasMatch();
    if (!match.hasMatch())
        return 0;
    double value = match.captured(1).toDouble();
    const QString unit = match.captured(2).toLower();
    if (!unit.isEmpty() && unit != QLatin1String("px"))
        value = value * logicalDpi / 96.0;
    return qRound(value);
}

bool LoadStringTable(const QString& path) {
    return loadFileInto(strings(), path, "string", nullptr);
}

bool LoadStringTable(QIODevice* device) {
    return loadInto(strings(), device, "string", nullptr);
}

bool LoadColorTable(const QString& path) {
    return loadFileInto(colors(), path, "color", "value");
}

bool LoadColorTable(QIODevice* device) {
    return loadInto(colors(), device, "color", "value");
}

} // namespace folimo::ui
