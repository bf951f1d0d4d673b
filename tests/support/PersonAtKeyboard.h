// Stands in for the person at the keyboard while a test drives the windows: the message
// boxes and popup menus the program opens are the real ones, shown and then answered as
// a person would (a button pressed, a menu item chosen with Return), and the file
// choosers are answered through their seam. What was asked is recorded for the test.
//
//     PersonAtKeyboard person;
//     person.answerBoxes(QMessageBox::Yes);
//     person.chooseInMenus(1003);
//     QTest::mouseClick(view->viewport(), Qt::RightButton, {}, pos);
//     QCOMPARE(person.menusOffered.size(), 1);
#pragma once

#include <FileDialogs.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QList>
#include <QMenu>
#include <QMessageBox>
#include <QMetaObject>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <functional>
#include <utility>

namespace folimo::test {

class PersonAtKeyboard {
public:
    PersonAtKeyboard() {
        // Modal boxes and menus run loops of their own; the timer ticks inside them.
        watch_.setInterval(5);
        QObject::connect(&watch_, &QTimer::timeout, [this] { look(); });
        watch_.start();
        previousChooser_ = ui::SetChooserResponder([this](const ui::ChooserRequest& request) {
            choosers.append(request);
            return chooserAnswer_;
        });
    }
    ~PersonAtKeyboard() { ui::SetChooserResponder(std::move(previousChooser_)); }
    PersonAtKeyboard(const PersonAtKeyboard&) = delete;
    PersonAtKeyboard& operator=(const PersonAtKeyboard&) = delete;

    // The button pressed on every message box from now on; a box without it is closed as
    // Escape closes it (its only button, when it has one).
    void answerBoxes(QMessageBox::StandardButton button) { boxAnswer_ = button; }

    // The command number (the action's data) chosen in every popup menu from now on,
    // sub-menus included; 0 dismisses the menu. The second form decides menu by menu.
    void chooseInMenus(int command) {
        menuChoice_ = [command](QMenu*) { return command; };
    }
    void chooseInMenus(std::function<int(QMenu*)> choose) { menuChoice_ = std::move(choose); }

    // What the file choosers answer from now on (empty: cancelled).
    void chooseFiles(QStringList paths) { chooserAnswer_ = std::move(paths); }

    // The texts and captions of the boxes shown, in order.
    QStringList boxTexts;
    QStringList boxCaptions;
    // The command numbers each menu offered, in order (0 for separators and sub-menus).
    QList<QList<int>> menusOffered;
    QList<ui::ChooserRequest> choosers;

private:
    static QAction* findCommand(QMenu* menu, int command, QMenu** owner) {
        for (QAction* action : menu->actions()) {
            if (QMenu* sub = action->menu()) {
                if (QAction* found = findCommand(sub, command, owner))
                    return found;
            } else if (!action->isSeparator() && action->data().toInt() == command) {
                *owner = menu;
                return action;
            }
        }
        return nullptr;
    }

    // A box or menu is answered once per showing: one that is shown again (a member
    // menu popped up twice) is new again once it has hidden.
    static bool firstLookAt(QWidget* popup) {
        static const char answered[] = "_folimo_answered";
        if (!popup || !popup->isVisible() || popup->property(answered).toBool())
            return false;
        popup->setProperty(answered, true);
        auto reset = [popup] { popup->setProperty(answered, false); };
        if (auto* menu = qobject_cast<QMenu*>(popup))
            QObject::connect(menu, &QMenu::aboutToHide, menu, reset, Qt::SingleShotConnection);
        else if (auto* dialog = qobject_cast<QDialog*>(popup))
            QObject::connect(dialog, &QDialog::finished, dialog, reset, Qt::SingleShotConnection);
        return true;
    }

    void look() {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            firstLookAt(box)) {
            boxTexts.append(box->text());
            boxCaptions.append(box->windowTitle());
            QAbstractButton* button = box->button(boxAnswer_);
            if (!button)
                button = box->escapeButton();
            if (!button && box->buttons().size() == 1)
                button = box->buttons().front();
            if (button)
                button->click();
            else
                box->reject();
            return;
        }
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!firstLookAt(menu))
            return;
        QList<int> offered;
        for (QAction* action : menu->actions())
            offered.append(action->menu() ? 0 : action->data().toInt());
        menusOffered.append(offered);
        const int command = menuChoice_ ? menuChoice_(menu) : 0;
        QMenu* owner = nullptr;
        QAction* chosen = command != 0 ? findCommand(menu, command, &owner) : nullptr;
        if (chosen && owner == menu) {
            // As a person does it: the item highlighted, then Return.
            menu->setActiveAction(chosen);
            QTest::keyClick(menu, Qt::Key_Return);
            return;
        }
        menu->close();
        if (chosen)
            QMetaObject::invokeMethod(chosen, &QAction::trigger, Qt::QueuedConnection);
    }

    QTimer watch_;
    QMessageBox::StandardButton boxAnswer_ = QMessageBox::Ok;
    std::function<int(QMenu*)> menuChoice_;
    QStringList chooserAnswer_;
    ui::ChooserResponder previousChooser_;
};

} // namespace folimo::test
