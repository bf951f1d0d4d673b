#include "Menus.h"

#include "UiLoader.h"

#include <QAction>
#include <QCoreApplication>
#include <QFile>
#include <QMenu>
#include <QPoint>
#include <QXmlStreamReader>

namespace folimo::ui {

namespace {

bool isSet(const QXmlStreamAttributes& attributes, const char* name) {
    const auto value = attributes.value(QLatin1String(name));
    return !value.isEmpty() && value != QLatin1String("0");
}

QIcon iconAt(const QXmlStreamAttributes& attributes) {
    const QString path = attributes.value(QLatin1String("icon")).toString();
    return path.isEmpty() ? QIcon() : QIcon(resolveResource(path));
}

// Every menu file shares one translation context: a command reads the same wherever it
// is offered.
QString translated(const QString& text) {
    return QCoreApplication::translate("menus", text.toUtf8().constData());
}

// Reads the children of the <menu> element the reader stands on into `menu`.
void readItems(QXmlStreamReader& xml, QMenu* menu, const MenuActions& actions) {
    while (xml.readNextStartElement()) {
        const QXmlStreamAttributes attributes = xml.attributes();
        if (xml.name() == QLatin1String("item")) {
            QString text = attributes.value(QLatin1String("text")).toString();
            const QString body = xml.readElementText(QXmlStreamReader::SkipChildElements);
            if (!attributes.hasAttribute(QLatin1String("text")))
                text = body.trimmed();
            const int id = attributes.value(QLatin1String("id")).toInt();
            if (QAction* action = actions.value(id)) {
                action->setText(translated(text));
                action->setIcon(iconAt(attributes));
                menu->addAction(action);
                continue;
            }
            unsigned flags = MF_STRING;
            if (isSet(attributes, "check"))
                flags |= MF_CHECKED;
            if (isSet(attributes, "disable"))
                flags |= MF_GRAYED;
            AppendMenu(menu, flags, id, translated(text), iconAt(attributes));
        } else if (xml.name() == QLatin1String("sep")) {
            menu->addSeparator();
            xml.skipCurrentElement();
        } else if (xml.name() == QLatin1String("menu")) {
            QMenu* sub = menu->addMenu(
                iconAt(attributes), translated(attributes.value(QLatin1String("text")).toString()));
            sub->setEnabled(!isSet(attributes, "disable"));
            readItems(xml, sub, actions);
        } else {
            xml.skipCurrentElement();
        }
    }
}

} // namespace

std::unique_ptr<QMenu> LoadMenu(const QString& nameOrPath, QString* error) {
    return LoadMenu(nameOrPath, {}, error);
}

std::unique_ptr<QMenu> LoadMenu(const QString& nameOrPath, const MenuActions& actions,
                                QString* error) {
    const QString path = resolveResource(nameOrPath);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("the menu %1 cannot be opened (%2)").arg(nameOrPath, path);
        return nullptr;
    }
    return LoadMenu(&file, actions, error);
}

std::unique_ptr<QMenu> LoadMenu(QIODevice* device, const MenuActions& actions, QString* error) {
    QXmlStreamReader xml(device);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("menu")) {
        if (error)
            *error = xml.hasError() ? xml.errorString()
                                    : QStringLiteral("the menu file does not start with <menu>");
        return nullptr;
    }
    auto menu = std::make_unique<QMenu>();
    readItems(xml, menu.get(), actions);
    if (xml.hasError()) {
        if (error)
            *error = QStringLiteral("the menu file is damaged at line %1: %2")
                         .arg(xml.lineNumber())
                         .arg(xml.errorString());
        return nullptr;
    }
    return menu;
}

QAction* AppendMenu(QMenu* menu, unsigned flags, int id, const QString& text, const QIcon& icon) {
    if (flags & MF_SEPARATOR)
        return menu->addSeparator();
    QAction* action = menu->addAction(icon, text);
    action->setData(id);
    if (flags & MF_CHECKED) {
        action->setCheckable(true);
        action->setChecked(true);
    }
    action->setEnabled(!(flags & MF_GRAYED));
    return action;
}

int MenuCommand(const QAction* action) {
    return action ? action->data().toInt() : 0;
}

namespace {
MenuResponder& menuResponder() {
    static MenuResponder current;
    return current;
}
} // namespace

MenuResponder SetMenuResponder(MenuResponder responder) {
    std::swap(menuResponder(), responder);
    return responder;
}

int TrackPopupMenu(QMenu* menu, const QPoint& globalPos) {
    if (menuResponder())
        return menuResponder()(menu, globalPos);
    return MenuCommand(menu->exec(globalPos));
}

} // namespace folimo::ui
