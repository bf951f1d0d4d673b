// Menus kept in the interface package ("SMENU:MENU_ADD", "SMENUEX:MENUEX_IMAGE_LIST"),
// loaded into QMenus whose actions carry their command numbers.
//
// The menu files read:
//     <menu>
//       <item id="1" text="添加文件..." icon=":/image/add.png"/>
//       <sep/>
//       <menu text="子菜单"><item id="2" text="..." check="1" disable="1"/></menu>
//     </menu>
// An item without a text attribute takes its element text. Texts are shown translated
// (context "menus").
#pragma once

#include <QHash>
#include <QString>

#include <memory>

class QAction;
class QIODevice;
class QMenu;

namespace folimo::ui {

// A window's commands by command number.
using MenuActions = QHash<int, QAction*>;

// A menu by resource name or path (see resolveResource), or from a device. Null, with the
// reason in *error, when it cannot be read. The caller owns the menu; its sub-menus are
// its children. An item whose number is among `actions` is that action, which takes the
// item's text and icon; the others are plain actions carrying their number in data().
std::unique_ptr<QMenu> LoadMenu(const QString& nameOrPath, const MenuActions& actions = {},
                                QString* error = nullptr);
std::unique_ptr<QMenu> LoadMenu(QIODevice* device, const MenuActions& actions = {},
                                QString* error = nullptr);

} // namespace folimo::ui
