#include "ShellIntegration.h"

#include <folimo/WideText.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <optional>

namespace folimo {

namespace {

constexpr const char* kCaption = "使用VelmarFolimo";
// File managers pick the caption in the desktop's language; the caption itself stays as
// written, for the desktops that speak none of the others.
constexpr const char* kCaptionEnglish = "Convert with VelmarFolimo";
constexpr const char* kFileName = "velmar-folimo-makepdf.desktop";
constexpr const char* kActionGroup = "[Desktop Action makepdf]";

// The types of data/mime-types.list, which the program's desktop entry lists too; the
// program takes a folder as well and adds the files directly in it.
constexpr const char* kMimeTypes[] = {
#include "folimo_mime_types.inc"
    "inode/directory",
};

QString dataHome() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

QString applicationEntryPath() {
    return dataHome() + QStringLiteral("/applications/") + kFileName;
}

QString serviceMenuPath() {
    return dataHome() + QStringLiteral("/kio/servicemenus/") + kFileName;
}

QString runningProgram() {
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

// The Exec value that starts programPath with /makepdf and the clicked path, as it
// stands in the file. Two layers of escaping: the Exec rules quote the argument and
// put a backslash before '"', '`', '$' and '\', and write '%' as "%%"; then the
// key file's string rules double every backslash again.
std::optional<QString> commandFor(const std::wstring& programPath) {
    for (wchar_t c : programPath)
        if (isEscapedByte(c) || c < 0x20 || c == 0x7F)
            return std::nullopt;
    const QString path =
        programPath.empty() ? runningProgram() : QString::fromStdWString(programPath);
    if (!path.startsWith(u'/'))
        return std::nullopt;
    QString quoted = QStringLiteral("\"");
    for (QChar c : path) {
        if (c == u'"' || c == u'`' || c == u'$')
            quoted += QStringLiteral("\\\\");
        else if (c == u'\\')
            quoted += QStringLiteral("\\\\\\");
        else if (c == u'%')
            quoted += u'%';
        quoted += c;
    }
    return quoted + QStringLiteral("\" /makepdf %f");
}

QString mimeTypeList() {
    QString list;
    for (const char* type : kMimeTypes)
        list += QLatin1String(type) + u';';
    return list;
}

QString captionKeys() {
    return QStringLiteral("Name=") + QString::fromUtf8(kCaption) + QStringLiteral("\nName[en]=") +
           QLatin1String(kCaptionEnglish) + u'\n';
}

QString applicationEntry(const QString& command) {
    // Hidden from the applications menu: the entry exists only to be offered for files.
    return QStringLiteral("[Desktop Entry]\nType=Application\nVersion=1.4\n") + captionKeys() +
           QStringLiteral("Exec=") + command + QStringLiteral("\nMimeType=") + mimeTypeList() +
           QStringLiteral("\nNoDisplay=true\nTerminal=false\n");
}

QString serviceMenu(const QString& command) {
    // TopLevel: the verb stands on the context menu itself, as the shell's verb does,
    // rather than in KDE's "Actions" submenu.
    return QStringLiteral("[Desktop Entry]\nType=Service\n") + captionKeys() +
           QStringLiteral("MimeType=") + mimeTypeList() +
           QStringLiteral("\nActions=makepdf;\nX-KDE-Priority=TopLevel\n\n") +
           QLatin1String(kActionGroup) + u'\n' + captionKeys() + QStringLiteral("Exec=") + command +
           u'\n';
}

// The Exec value of `group` in a desktop file; empty when the file, the group or the
// key is missing. Files larger than any entry of ours are not read.
QString storedCommand(const QString& filePath, const QString& group) {
    QFile file(filePath);
    if (file.size() > 64 * 1024 || !file.open(QIODevice::ReadOnly))
        return {};
    QString current;
    for (const QString& raw : QString::fromUtf8(file.readAll()).split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith(u'[')) {
            current = line;
        } else if (current == group && line.startsWith(QStringLiteral("Exec"))) {
            const QString rest = line.mid(4).trimmed();
            if (rest.startsWith(u'='))
                return rest.mid(1).trimmed();
        }
    }
    return {};
}

bool holds(const QString& filePath, const QString& group, const QString& command) {
    return QString::compare(storedCommand(filePath, group), command, Qt::CaseInsensitive) == 0;
}

} // namespace

int IsContextMenuRegistered(const std::wstring& programPath) {
    const auto command = commandFor(programPath);
    if (!command)
        return 0;
    return holds(applicationEntryPath(), QStringLiteral("[Desktop Entry]"), *command) &&
                   holds(serviceMenuPath(), QLatin1String(kActionGroup), *command)
               ? 1
               : 0;
}

int SetContextMenu(int enable, const std::wstring& programPath) {
    const QString entryPath = applicationEntryPath(), menuPath = serviceMenuPath();
    if (!enable) {
        // Both folders are checked first, so a removal that cannot be completed does not
        // leave half a verb behind.
        for (const QString& path : {entryPath, menuPath})
            if (QFileInfo::exists(path) && !QFileInfo(QFileInfo(path).path()).isWritable())
                return 0;
        for (const QString& path : {entryPath, menuPath})
            if (QFileInfo::exists(path) && !QFile::remove(path))
                return 0;
        return 1;
    }

    const auto command = commandFor(programPath);
    if (!command)
        return 0;
    // Both files are written beside their places before either replaces anything, so a
    // folder that cannot be written leaves the earlier state whole instead of a verb
    // that one file manager shows while the settings window reports none.
    QSaveFile entry(entryPath), menu(menuPath);
    const QByteArray entryText = applicationEntry(*command).toUtf8();
    const QByteArray menuText = serviceMenu(*command).toUtf8();
    const bool prepared =
        QDir().mkpath(QFileInfo(entryPath).path()) && QDir().mkpath(QFileInfo(menuPath).path()) &&
        entry.open(QIODevice::WriteOnly) && entry.write(entryText) == entryText.size() &&
        menu.open(QIODevice::WriteOnly) && menu.write(menuText) == menuText.size() &&
        menu.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                            QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::ExeGroup |
                            QFileDevice::ReadOther | QFileDevice::ExeOther);
    if (!prepared) {
        entry.cancelWriting();
        menu.cancelWriting();
        return 0;
    }
    if (!entry.commit())
        return 0;
    if (!menu.commit()) {
        QFile::remove(entryPath);
        return 0;
    }
    return 1;
}

} // namespace folimo
