// The file managers' verb, "Convert with VelmarFolimo" ("使用VelmarFolimo" on a Chinese
// desktop), which starts the program as `<program> /makepdf <clicked file or folder>`.
// It stands where each file manager looks for verbs, in per-user files, so no
// administrator rights are needed:
//  - GNOME Files: $XDG_DATA_HOME/nautilus/scripts/<caption>, an executable script;
//  - Nemo: $XDG_DATA_HOME/nemo/actions/velmar-folimo-makepdf.nemo_action;
//  - Thunar: an action of $XDG_CONFIG_HOME/Thunar/uca.xml, beside the user's own;
//  - Dolphin: $XDG_DATA_HOME/kio/servicemenus/velmar-folimo-makepdf.desktop, executable,
//    as KDE shows a service menu in a user's folder only then.
// None of them is an application entry for file types: the desktops would make such an
// entry the handler of those types for users who have none, and a double-click on a
// photo would convert it. The hidden entry $XDG_DATA_HOME/applications/
// velmar-folimo-makepdf.desktop that earlier versions wrote goes whenever the verb is
// switched on or off. Called from the user-interface thread.
#pragma once

#include <string>

namespace folimo {

// An empty programPath stands for the running program file.

// 1 when every entry holds the command built for programPath, compared without regard
// to case, else 0 (absent entries, a command of another copy of the program).
int IsContextMenuRegistered(const std::wstring& programPath = {});

// enable != 0 writes every entry, replacing earlier ones of ours and keeping the user's
// other Thunar actions; 0 when a folder cannot be written or uca.xml cannot be read as
// a list of actions, and then no entry is changed. It is 0 too for a program path that
// the entries cannot express: not absolute, with control characters or with bytes that
// are not UTF-8.
// enable == 0 deletes the entries, and nothing else; entries already gone count as
// deleted. 0 when one stays.
int SetContextMenu(int enable, const std::wstring& programPath = {});

} // namespace folimo
