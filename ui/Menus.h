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
#include <QIcon>
#include <QString>

#include <functional>
#include <memory>

class QAction;
class QIODevice;
class QMenu;
class QPoint;

namespace folimo::ui {

// A window's commands by command number.
using MenuActions = QHash<int, QAction*>;

// A menu by resource name or path (see resolveResource), or from a device. Null, with the
// reason in *error, when it cannot be read. The caller owns the menu; its sub-menus are
// its children. An item whose number is among `actions` is that action, which takes the
// item's text and icon; the others are plain actions carrying their number in data().
std::unique_ptr<QMenu> LoadMenu(const QString& nameOrPath, QString* error = nullptr);
std::unique_ptr<QMenu> LoadMenu(const QString& nameOrPath, const MenuActions& actions,
                                QString* error = nullptr);
std::unique_ptr<QMenu> LoadMenu(QIODevice* device, const MenuActions& actions = {},
                                QString* error = nullptr);

// Item flags for AppendMenu, combined with |.
enum MenuFlag : unsigned {
    MF_STRING = 0x0,
    MF_GRAYED = 0x1,
    MF_CHECKED = 0x8,
    MF_SEPARATOR = 0x800,
};

// Adds an item with command number `id` at the end of `menu` (a separator for
// MF_SEPARATOR, which takes no id or text). Answers the new action.
QAction* AppendMenu(QMenu* menu, unsigned flags, int id, const QString& text = {},
                    const QIcon& icon = {});

// The command number an action carries, 0 for none.
int MenuCommand(const QAction* action);

// Shows `menu` at a global position and waits until it closes. Answers the command
// number of the chosen item, sub-menus included, or 0 when it was dismissed.
int TrackPopupMenu(QMenu* menu, const QPoint& globalPos);

// Answers menus without showing them while set (the command number to choose, 0 for
// none), for tests that look at what a menu offers. Returns the previous responder; an
// empty one restores the real menus.
using MenuResponder = std::function<int(QMenu* menu, const QPoint& globalPos)>;
MenuResponder SetMenuResponder(MenuResponder responder);

} // namespace folimo::ui
