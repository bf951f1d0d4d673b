#include "UiLoader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QResource>
#include <QWidget>

namespace folimo::ui {

namespace {

QMutex factoriesLock;

QHash<QString, UiLoader::Factory>& factories() {
    static QHash<QString, UiLoader::Factory> table;
    return table;
}

} // namespace

bool registerInterfacePackage(QString* error) {
    static bool registered = false;
    if (registered)
        return true;
    const QString path = QDir(QCoreApplication::applicationDirPath()).filePath("uires.rcc");
    if (!QFileInfo::exists(path)) {
        if (error)
            *error = QStringLiteral("the interface package %1 is missing").arg(path);
        return false;
    }
    if (!QResource::registerResource(path)) {
        if (error)
            *error = QStringLiteral("the interface package %1 cannot be read").arg(path);
        return false;
    }
    registered = true;
    return true;
}

QString resourcePath(const QString& resourceName) {
    const qsizetype colon = resourceName.indexOf(':');
    if (colon <= 0)
        return {};
    const QString kind = resourceName.left(colon).toLower();
    const QString name = resourceName.mid(colon + 1);
    const QString extension = kind == QLatin1String("layout") ? ".ui" : ".xml";
    return QStringLiteral(":/%1/%2%3").arg(kind, name, extension);
}

UiLoader::UiLoader(QObject* parent) : QUiLoader(parent) {}

void UiLoader::registerClass(const QString& className, Factory factory) {
    QMutexLocker lock(&factoriesLock);
    factories().insert(className, std::move(factory));
}

QWidget* UiLoader::createWidget(const QString& className, QWidget* parent,
                                const QString& name) {
    Factory factory;
    {
        QMutexLocker lock(&factoriesLock);
        factory = factories().value(className);
    }
    if (factory) {
        QWidget* widget = factory(parent, name);
        if (widget)
            widget->setObjectName(name);
        return widget;
    }
    return QUiLoader::createWidget(className, parent, name);
}

QWidget* UiLoader::loadLayout(const QString& resourceName, QWidget* parent) {
    QFile file(resourcePath(resourceName));
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    return load(&file, parent);
}

} // namespace folimo::ui
