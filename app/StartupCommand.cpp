#include "StartupCommand.h"

#include "ImageList.h"
#include "RegistryStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <dirent.h>

namespace folimo {

namespace {

// "/makepdf" in any ASCII letter case: a case folding of the whole of Unicode would let
// look-alikes (the Kelvin sign for "k") count too.
bool isMakePdfSwitch(const QString& text) {
    static constexpr char16_t kSwitch[] = u"/makepdf";
    constexpr qsizetype length = sizeof(kSwitch) / sizeof(kSwitch[0]) - 1;
    if (text.size() != length)
        return false;
    for (qsizetype i = 0; i < length; ++i) {
        char16_t c = text.at(i).unicode();
        if (c >= u'A' && c <= u'Z')
            c = char16_t(c - u'A' + u'a');
        if (c != kSwitch[i])
            return false;
    }
    return true;
}

// `relative` taken from `folder`. The start folder has no links in it (getcwd gives the
// folder itself), so ".." at the front of the relative part can be resolved by name;
// after a name of the relative path it cannot (that name may be a link), and stays.
QString resolveAgainst(const QString& folder, const QString& relative) {
    QStringList base = folder.split(u'/', Qt::SkipEmptyParts);
    QStringList rest;
    for (const QString& part : relative.split(u'/', Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..") && rest.isEmpty()) {
            if (!base.isEmpty())
                base.removeLast();
            continue;
        }
        rest.append(part);
    }
    base.append(rest);
    return u'/' + base.join(u'/');
}

} // namespace

StartupCommand ParseStartupCommand(const QStringList& arguments, const QString& startFolder) {
    StartupCommand command;
    const auto absolute = [&](const QString& path) {
        return path.startsWith(u'/') ? path : resolveAgainst(startFolder, path);
    };
    if (arguments.size() == 3 && isMakePdfSwitch(arguments.at(1)) && !arguments.at(2).isEmpty()) {
        command.makePdf = true;
        command.path = absolute(arguments.at(2));
        return command;
    }
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (!argument.isEmpty() && !argument.startsWith(u'-') && !isMakePdfSwitch(argument))
            command.open << absolute(argument);
    }
    return command;
}

int AddStartupInputs(SFileListAdapter& list, const QString& path, QString* problem) {
    const int before = list.GetCount();
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists())
        return 0;
    if (info.isDir()) {
        // A folder that cannot be listed would give an empty window with no word of why.
        if (DIR* dir = ::opendir(QFile::encodeName(path).constData())) {
            ::closedir(dir);
        } else {
            if (problem)
                *problem = QCoreApplication::translate(
                               "StartupCommand", "无法读取文件夹“%1”（%2），没有可转换的图片。")
                               .arg(QDir::toNativeSeparators(path),
                                    QString::fromLocal8Bit(std::strerror(errno)));
            return 0;
        }
        list.AddImageFolder(path.toStdWString(), false);
    } else {
        list.AddImageFile(path.toStdWString());
    }
    list.NotifyChanged();
    return list.GetCount() - before;
}

QString StartupSettingsProblem() {
    const std::wstring refused = RefusedStoreFile();
    if (refused.empty())
        return {};
    return QCoreApplication::translate("StartupCommand",
                                       "设置文件“%1”不是普通文件，无法读取。程序使用默认设置，"
                                       "也不会写入该文件。")
        .arg(QDir::toNativeSeparators(QString::fromStdWString(refused)));
}

} // namespace folimo
