// What the command line asks of the desktop program when it starts, and the start-up
// inputs of the file managers' verb: `folimo /makepdf PATH` (the form the verb's
// desktop entry registers, see ShellIntegration) adds PATH to the list and converts it,
// one PDF beside each image. Any other command line starts the program as usual.
#pragma once

#include <QString>
#include <QStringList>

namespace folimo {

class SFileListAdapter;

struct StartupCommand {
    // Started by the file managers' verb.
    bool makePdf = false;
    // The clicked file or folder, absolute (only with makePdf).
    QString path;
    // Otherwise: the files and folders to open in the list, as a desktop's "open with"
    // passes them (`folimo FILE...`), absolute, in order.
    QStringList open;
};

// The command line `arguments` (the program's path first, as argv) read as the program
// does: exactly two arguments after the program's path, the first "/makepdf" in any
// letter case (ASCII only), the second a non-empty path. A relative path is taken from
// `startFolder`, the folder the program was started in (as getcwd gives it, without
// links): "." components and doubled slashes go, leading ".." components climb out of
// the start folder; the rest of the path stays as given, links unresolved. An absolute
// path stays exactly as given. Anything else (another count, another switch, an empty
// path) is a normal start, which opens every other argument that names a path (not an
// option: "-..." or the switch) in the list.
StartupCommand ParseStartupCommand(const QStringList& arguments, const QString& startFolder);

// Adds the verb's path to `list`: nothing when it does not exist, the supported files
// directly inside a folder (not those of its subfolders), otherwise the file itself
// when the engine supports its type. Then tells the list's observers. Answers the
// number of items added. A folder that cannot be read adds nothing and sets `problem`
// to the words the user is shown, in the windows' language.
int AddStartupInputs(SFileListAdapter& list, const QString& path, QString* problem = nullptr);

// The words the user is shown when the stored settings cannot be read because their file
// is no regular file (RefusedStoreFile), in the windows' language; else empty.
QString StartupSettingsProblem();

} // namespace folimo
