#include "ShellIntegration.h"

#include <folimo/WideText.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QXmlStreamReader>

#include <memory>
#include <optional>
#include <vector>

namespace folimo {

namespace {

constexpr const char* kCaptionChinese = "使用VelmarFolimo";
constexpr const char* kCaptionEnglish = "Convert with VelmarFolimo";
constexpr const char* kIcon = "velmar-folimo";
constexpr const char* kId = "velmar-folimo-makepdf";
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

QString oldApplicationEntry() {
    return dataHome() + QStringLiteral("/applications/") + kId + QStringLiteral(".desktop");
}
QString serviceMenuPath() {
    return dataHome() + QStringLiteral("/kio/servicemenus/") + kId + QStringLiteral(".desktop");
}
QString nemoActionPath() {
    return dataHome() + QStringLiteral("/nemo/actions/") + kId + QStringLiteral(".nemo_action");
}
QString thunarActionsPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Thunar/uca.xml");
}
// GNOME Files shows a script by its file name, so the caption is the name; one written
// under the other language's caption is ours too.
QString nautilusScriptPath(const char* caption) {
    return dataHome() + QStringLiteral("/nautilus/scripts/") + QString::fromUtf8(caption);
}

bool chineseDesktop() {
    return QLocale::system().language() == QLocale::Chinese;
}
const char* caption() {
    return chineseDesktop() ? kCaptionChinese : kCaptionEnglish;
}

QString runningProgram() {
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

std::optional<QString> programFor(const std::wstring& programPath) {
    for (wchar_t c : programPath)
        if (isEscapedByte(c) || c < 0x20 || c == 0x7F)
            return std::nullopt;
    const QString path =
        programPath.empty() ? runningProgram() : QString::fromStdWString(programPath);
    if (!path.startsWith(u'/'))
        return std::nullopt;
    return path;
}

// The command of the desktop-entry formats (Dolphin, Nemo), as it stands in the file.
// Two layers of escaping: the Exec rules quote the argument and put a backslash before
// '"', '`', '$' and '\', and write '%' as "%%"; then the key file's string rules double
// every backslash again.
QString desktopCommand(const QString& program, const char* fileCode) {
    QString quoted = QStringLiteral("\"");
    for (QChar c : program) {
        if (c == u'"' || c == u'`' || c == u'$')
            quoted += QStringLiteral("\\\\");
        else if (c == u'\\')
            quoted += QStringLiteral("\\\\\\");
        else if (c == u'%')
            quoted += u'%';
        quoted += c;
    }
    return quoted + QStringLiteral("\" /makepdf ") + QLatin1String(fileCode);
}

// The program path as the POSIX shell and GLib's command-line parser (Thunar) read it.
QString shellQuoted(const QString& text) {
    QString quoted = text;
    quoted.replace(u'\'', QStringLiteral("'\\''"));
    return u'\'' + quoted + u'\'';
}

QString thunarCommand(const QString& program) {
    // Thunar expands "%%" to '%' before it splits the command into arguments.
    QString path = shellQuoted(program);
    path.replace(u'%', QStringLiteral("%%"));
    return path + QStringLiteral(" /makepdf %f");
}

QString scriptCommand(const QString& program) {
    return shellQuoted(program) + QStringLiteral(" /makepdf \"$f\" &");
}

QString mimeTypeList() {
    QString list;
    for (const char* type : kMimeTypes)
        list += QLatin1String(type) + u';';
    return list;
}

// Name in English, with the Chinese caption for Chinese desktops (zh_CN, zh_TW, ...
// fall back to "zh").
QString nameKeys() {
    return QStringLiteral("Name=") + QLatin1String(kCaptionEnglish) +
           QStringLiteral("\nName[zh]=") + QString::fromUtf8(kCaptionChinese) + u'\n';
}

QString serviceMenu(const QString& program) {
    // An Application entry, so that the format's validator checks it and GIO can start it,
    // but kept out of applications/: it is no handler of the types it lists. TopLevel: the
    // verb stands on the context menu itself rather than in KDE's "Actions" submenu.
    const QString command = desktopCommand(program, "%f");
    return QStringLiteral("[Desktop Entry]\nType=Application\n") + nameKeys() +
           QStringLiteral("Icon=") + QLatin1String(kIcon) + QStringLiteral("\nExec=") + command +
           QStringLiteral("\nNoDisplay=true\nMimeType=") + mimeTypeList() +
           QStringLiteral("\nActions=makepdf;\nX-KDE-ServiceTypes=KonqPopupMenu/Plugin\n"
                          "X-KDE-Priority=TopLevel\n\n") +
           QLatin1String(kActionGroup) + u'\n' + nameKeys() + QStringLiteral("Icon=") +
           QLatin1String(kIcon) + QStringLiteral("\nExec=") + command + u'\n';
}

QString nemoAction(const QString& program) {
    // One file or folder: /makepdf takes one path. Nemo reads Exec as a key-file string,
    // puts the path for %F with its quotes, tabs and backslashes escaped (and with
    // EscapeSpaces its spaces too), and splits the line as the shell would.
    return QStringLiteral("[Nemo Action]\n") + nameKeys() + QStringLiteral("Icon-Name=") +
           QLatin1String(kIcon) + QStringLiteral("\nExec=") + desktopCommand(program, "%F") +
           QStringLiteral("\nEscapeSpaces=true\nSelection=s\nMimetypes=") + mimeTypeList() + u'\n';
}

QString nautilusScript(const QString& program) {
    // GNOME Files hands the selected names over as arguments, from their folder.
    return QStringLiteral("#!/bin/sh\n# ") + QString::fromUtf8(caption()) +
           QStringLiteral(
               ": each selected file or folder in a window of its own.\nfor f do\n    ") +
           scriptCommand(program) + QStringLiteral("\ndone\n");
}

QString xmlEscaped(const QString& text) {
    return text.toHtmlEscaped();
}

QString thunarAction(const QString& program) {
    return QStringLiteral("<action>\n\t<icon>") + QLatin1String(kIcon) +
           QStringLiteral("</icon>\n\t<name>") + QString::fromUtf8(caption()) +
           QStringLiteral("</name>\n\t<submenu></submenu>\n\t<unique-id>") + QLatin1String(kId) +
           QStringLiteral("</unique-id>\n\t<command>") + xmlEscaped(thunarCommand(program)) +
           QStringLiteral("</command>\n\t<description></description>\n\t<range>1</range>\n"
                          "\t<patterns>*</patterns>\n\t<directories/>\n\t<image-files/>\n"
                          "\t<other-files/>\n</action>\n");
}

// Thunar's actions as they stand in uca.xml, with the places of ours.
struct ThunarActions {
    QString text;
    struct Range {
        qsizetype start, end;
        QString command;
    };
    std::vector<Range> ours;
    qsizetype closing = -1; // where "</actions>" starts; -1 for a new file
};

// nullopt when the file is there but no list of actions that can be read: it is then
// left alone rather than replaced.
std::optional<ThunarActions> readThunarActions() {
    ThunarActions actions;
    QFile file(thunarActionsPath());
    if (!file.exists())
        return actions;
    if (file.size() > 16 * 1024 * 1024 || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    actions.text = QString::fromUtf8(file.readAll());
    QXmlStreamReader xml(actions.text);
    qsizetype actionStart = -1;
    QString uniqueId, command;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        const qsizetype after = xml.characterOffset();
        if (token == QXmlStreamReader::StartElement) {
            if (xml.name() == QLatin1String("action")) {
                actionStart = actions.text.lastIndexOf(QStringLiteral("<action"), after - 1);
                uniqueId.clear();
                command.clear();
            } else if (xml.name() == QLatin1String("unique-id")) {
                uniqueId = xml.readElementText();
            } else if (xml.name() == QLatin1String("command")) {
                command = xml.readElementText();
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (xml.name() == QLatin1String("action") && uniqueId == QLatin1String(kId)) {
                qsizetype end = after;
                while (end < actions.text.size() && actions.text.at(end).isSpace())
                    ++end;
                actions.ours.push_back({actionStart, end, command});
            } else if (xml.name() == QLatin1String("actions")) {
                actions.closing = actions.text.lastIndexOf(QStringLiteral("</actions"), after - 1);
            }
        }
    }
    if (xml.hasError() || actions.closing < 0)
        return std::nullopt;
    return actions;
}

// uca.xml with our action in place of earlier ones (or none), every other action kept.
QString mergedThunarActions(const ThunarActions& actions, const QString& ours) {
    if (actions.closing < 0)
        return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n") + ours +
               QStringLiteral("</actions>\n");
    QString text = actions.text.left(actions.closing) + ours + actions.text.mid(actions.closing);
    for (auto it = actions.ours.rbegin(); it != actions.ours.rend(); ++it)
        text.remove(it->start, it->end - it->start);
    return text;
}

// The value of `key` in `group` of a key file; empty when the file, the group or the
// key is missing. Files larger than any entry of ours are not read.
QString storedKey(const QString& filePath, const QString& group, const QString& key) {
    QFile file(filePath);
    if (file.size() > 64 * 1024 || !file.open(QIODevice::ReadOnly))
        return {};
    QString current;
    for (const QString& raw : QString::fromUtf8(file.readAll()).split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith(u'[')) {
            current = line;
        } else if (current == group && line.startsWith(key)) {
            const QString rest = line.mid(key.size()).trimmed();
            if (rest.startsWith(u'='))
                return rest.mid(1).trimmed();
        }
    }
    return {};
}

// The command line of a script of ours: the one that starts the program.
QString storedScriptCommand(const QString& filePath) {
    QFile file(filePath);
    if (file.size() > 64 * 1024 || !file.open(QIODevice::ReadOnly))
        return {};
    for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n'))
        if (line.contains(QStringLiteral(" /makepdf ")))
            return line.trimmed();
    return {};
}

bool same(const QString& stored, const QString& built) {
    return !stored.isEmpty() && QString::compare(stored, built, Qt::CaseInsensitive) == 0;
}

// Every file of ours that a file manager reads, whatever the language it was written in.
QStringList entryFiles() {
    return {serviceMenuPath(), nemoActionPath(), nautilusScriptPath(kCaptionChinese),
            nautilusScriptPath(kCaptionEnglish), oldApplicationEntry()};
}

// Files are removed only when all of them can be, so that no half verb stays behind.
bool removable(const QStringList& paths) {
    for (const QString& path : paths)
        if (QFileInfo::exists(path) && !QFileInfo(QFileInfo(path).path()).isWritable())
            return false;
    return true;
}

} // namespace

int IsContextMenuRegistered(const std::wstring& programPath) {
    const auto program = programFor(programPath);
    if (!program)
        return 0;
    const auto thunar = readThunarActions();
    const bool inThunar = thunar && thunar->ours.size() == 1 &&
                          same(thunar->ours.front().command, thunarCommand(*program));
    const QString exec = desktopCommand(*program, "%f");
    const bool inScripts =
        same(storedScriptCommand(nautilusScriptPath(kCaptionChinese)), scriptCommand(*program)) ||
        same(storedScriptCommand(nautilusScriptPath(kCaptionEnglish)), scriptCommand(*program));
    return inThunar && inScripts &&
                   same(storedKey(serviceMenuPath(), QLatin1String(kActionGroup),
                                  QStringLiteral("Exec")),
                        exec) &&
                   same(storedKey(nemoActionPath(), QStringLiteral("[Nemo Action]"),
                                  QStringLiteral("Exec")),
                        desktopCommand(*program, "%F"))
               ? 1
               : 0;
}

int SetContextMenu(int enable, const std::wstring& programPath) {
    const auto thunar = readThunarActions();
    if (!enable) {
        // A uca.xml that cannot be read holds no action of ours that could be taken out;
        // the other entries still go.
        const bool inThunar = thunar && !thunar->ours.empty();
        if (!removable(entryFiles()) ||
            (inThunar && !QFileInfo(QFileInfo(thunarActionsPath()).path()).isWritable()))
            return 0;
        if (inThunar) {
            QSaveFile file(thunarActionsPath());
            const QByteArray text = mergedThunarActions(*thunar, {}).toUtf8();
            if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() ||
                !file.commit())
                return 0;
        }
        for (const QString& path : entryFiles())
            if (QFileInfo::exists(path) && !QFile::remove(path))
                return 0;
        return 1;
    }

    if (!thunar)
        return 0;
    const auto program = programFor(programPath);
    if (!program)
        return 0;
    // Every file is written beside its place before any replaces anything, so a folder
    // that cannot be written leaves the earlier state whole instead of a verb that one
    // file manager shows while the settings window reports none.
    constexpr auto kExecutable = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                 QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                 QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                 QFileDevice::ExeOther;
    const char* otherCaption = chineseDesktop() ? kCaptionEnglish : kCaptionChinese;
    const struct {
        QString path, text;
        bool executable;
    } entries[] = {
        {serviceMenuPath(), serviceMenu(*program), true},
        {nemoActionPath(), nemoAction(*program), false},
        {nautilusScriptPath(caption()), nautilusScript(*program), true},
        {thunarActionsPath(), mergedThunarActions(*thunar, thunarAction(*program)), false},
    };
    const QStringList stale = {oldApplicationEntry(), nautilusScriptPath(otherCaption)};
    if (!removable(stale))
        return 0;
    std::vector<std::unique_ptr<QSaveFile>> files;
    for (const auto& entry : entries) {
        auto file = std::make_unique<QSaveFile>(entry.path);
        const QByteArray text = entry.text.toUtf8();
        const bool prepared = QDir().mkpath(QFileInfo(entry.path).path()) &&
                              file->open(QIODevice::WriteOnly) &&
                              file->write(text) == text.size() &&
                              (!entry.executable || file->setPermissions(kExecutable));
        if (!prepared) {
            file->cancelWriting();
            for (auto& done : files)
                done->cancelWriting();
            return 0;
        }
        files.push_back(std::move(file));
    }
    for (auto& file : files)
        if (!file->commit())
            return 0;
    for (const QString& path : stale)
        if (QFileInfo::exists(path) && !QFile::remove(path))
            return 0;
    return 1;
}

} // namespace folimo
