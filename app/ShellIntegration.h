// The file managers' verb "使用VelmarFolimo", which starts the program as
// `<program> /makepdf <clicked file or folder>`. It lives in two per-user files under
// $XDG_DATA_HOME (~/.local/share when unset), so no administrator rights are needed:
//  - applications/velmar-folimo-makepdf.desktop, a hidden application entry for the
//    image types the engine reads and for folders, which file managers following the
//    freedesktop rules offer under "Open With";
//  - kio/servicemenus/velmar-folimo-makepdf.desktop, a service menu that puts the verb
//    on the context menu itself in KDE's file manager; executable, as KDE shows a
//    service menu in a user's folder only then.
// Both carry the same command. Called from the user-interface thread.
#pragma once

#include <string>

namespace folimo {

// An empty programPath stands for the running program file.

// 1 when both files hold the command built for programPath, compared without regard to
// case, else 0 (absent files, a command of another copy of the program).
int IsContextMenuRegistered(const std::wstring& programPath = {});

// enable != 0 writes both files, replacing earlier ones; 0 when a folder cannot be
// written, and then neither file is changed. It is 0 too for a program path that a
// desktop entry cannot express: not absolute, with control characters or with bytes
// that are not UTF-8.
// enable == 0 deletes the two files, and nothing else; files already gone count as
// deleted. 0 when a file stays.
int SetContextMenu(int enable, const std::wstring& programPath = {});

} // namespace folimo
