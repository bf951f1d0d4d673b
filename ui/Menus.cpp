#include "Menus.h"

#include "UiLoader.h"

#include <QAction>
#include <QCoreApplication>
#include <QFile>
#include <QMenu>
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
            QAction* item = menu->addAction(iconAt(attributes), translated(text));
            item->setData(id);
            item->setCheckable(isSet(attributes, "check"));
            item->setChecked(item->isCheckable());
            item->setEnabled(!isSet(attributes, "disable"));
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

} // namespace folimo::ui
