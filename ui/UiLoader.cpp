#include "UiLoader.h"

#include <QAction>
#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLayout>
#include <QMetaClassInfo>
#include <QMutex>
#include <QRegularExpression>
#include <QResource>
#include <QVBoxLayout>
#include <QWidget>
#include <QXmlStreamReader>

namespace folimo::ui {

namespace {

QMutex& factoriesLock() {
    static QMutex lock;
    return lock;
}

QHash<QString, UiLoader::Factory>& factories() {
    static QHash<QString, UiLoader::Factory> table;
    return table;
}

// The form's class, which the translations take as their context: <ui><class>X</class>.
QByteArray formClass(const QByteArray& layout) {
    QXmlStreamReader xml(layout);
    if (!xml.readNextStartElement())
        return {};
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("class"))
            return xml.readElementText().toUtf8();
        xml.skipCurrentElement();
    }
    return {};
}

// QUiLoader translates the texts of a layout but leaves string lists as they stand; a
// control's own list property (a list view's column captions) is translated here, under
// the form's context as the other texts are.
void translateStringLists(const QList<QPointer<QObject>>& created, const QByteArray& context) {
    if (context.isEmpty())
        return;
    for (QObject* object : created) {
        if (!object)
            continue;
        for (const QByteArray& name : object->dynamicPropertyNames()) {
            const QVariant value = object->property(name.constData());
            if (value.typeId() != QMetaType::QStringList)
                continue;
            QStringList texts = value.toStringList();
            for (QString& text : texts)
                text = QCoreApplication::translate(context.constData(), text.toUtf8().constData());
            object->setProperty(name.constData(), texts);
        }
    }
}

} // namespace

bool registerInterfacePackage(QString* error) {
    static bool registered = false;
    if (registered)
        return true;
    // Beside the program in a build, in the data folder of its prefix once installed
    // (bin/folimo and share/folimo/uires.rcc).
    const QDir programFolder(QCoreApplication::applicationDirPath());
    const QString candidates[] = {
        programFolder.filePath(QStringLiteral("uires.rcc")),
        QDir::cleanPath(programFolder.filePath(QStringLiteral("../share/folimo/uires.rcc"))),
    };
    QString path;
    for (const QString& candidate : candidates) {
        if (QFileInfo::exists(candidate)) {
            path = candidate;
            break;
        }
    }
    if (path.isEmpty()) {
        if (error)
            *error = QStringLiteral("the interface package %1 is missing").arg(candidates[0]);
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

QString resolveResource(const QString& nameOrPath) {
    // A kind of at least two letters keeps drive letters ("C:/x.ui") out, and a name that
    // starts with a slash is a path under a resource prefix, not a resource name.
    static const QRegularExpression resourceName(QStringLiteral("^[A-Za-z_]{2,}:[^/\\\\]"));
    if (resourceName.match(nameOrPath).hasMatch())
        return resourcePath(nameOrPath);
    return nameOrPath;
}

UiLoader::UiLoader(QObject* parent) : QUiLoader(parent) {
    // Our layouts use Qt's own widgets and ours, never a designer plugin; loading the
    // installed plugins (one pulls in Qt Quick) would only slow every window's start.
    clearPluginPaths();
}

void UiLoader::registerClass(const QString& className, const Factory& factory) {
    QMutexLocker lock(&factoriesLock());
    factories().insert(className, factory);
}

QWidget* UiLoader::createWidget(const QString& className, QWidget* parent, const QString& name) {
    Factory factory;
    {
        QMutexLocker lock(&factoriesLock());
        factory = factories().value(className);
    }
    QWidget* widget = nullptr;
    if (factory) {
        widget = factory(parent, name);
        if (widget)
            widget->setObjectName(name);
    } else if (dialogRootAsWidget_ && !parent && className == QLatin1String("QDialog")) {
        widget = QUiLoader::createWidget(QStringLiteral("QWidget"), parent, name);
    } else {
        widget = QUiLoader::createWidget(className, parent, name);
    }
    if (widget)
        created_.append(widget);
    return widget;
}

QAction* UiLoader::createAction(QObject* parent, const QString& name) {
    QAction* action = QUiLoader::createAction(parent, name);
    if (action)
        created_.append(action);
    return action;
}

QWidget* UiLoader::loadLayout(const QString& nameOrPath, QWidget* parent) {
    const QString path = resolveResource(nameOrPath);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        created_.clear();
        error_ = QStringLiteral("the layout %1 cannot be opened (%2)").arg(nameOrPath, path);
        return nullptr;
    }
    return loadLayout(&file, parent);
}

QWidget* UiLoader::loadLayout(QIODevice* device, QWidget* parent) {
    created_.clear();
    error_.clear();
    // Read first for the form's class; a device may come closed, as QUiLoader allows.
    if (!device->isOpen())
        device->open(QIODevice::ReadOnly);
    const QByteArray layout = device->readAll();
    QBuffer buffer;
    buffer.setData(layout);
    buffer.open(QIODevice::ReadOnly);
    QWidget* root = load(&buffer, parent);
    if (!root) {
        error_ = errorString();
        if (error_.isEmpty())
            error_ = QStringLiteral("the layout cannot be built");
        return nullptr;
    }
    translateStringLists(created_, formClass(layout));
    return root;
}

QString layoutClassName(const QMetaObject& metaObject) {
    const int info = metaObject.indexOfClassInfo("layoutClass");
    if (info >= 0)
        return QString::fromLatin1(metaObject.classInfo(info).value());
    return QString::fromLatin1(metaObject.className());
}

QWidget* buildLayoutInto(QWidget* window, const QString& nameOrPath) {
    UiLoader loader;
    loader.setDialogRootAsWidget(true);
    QWidget* root = loader.loadLayout(nameOrPath);
    if (!root) {
        throw LayoutError(QStringLiteral("the window layout %1 cannot be built: %2")
                              .arg(nameOrPath, loader.error())
                              .toStdString());
    }
    // The layout describes a whole window but is shown inside this one, which takes over
    // what belongs to the window: its title, icon and size.
    const QSize size = root->size();
    if (!root->windowTitle().isEmpty())
        window->setWindowTitle(root->windowTitle());
    if (root->testAttribute(Qt::WA_SetWindowIcon))
        window->setWindowIcon(root->windowIcon());
    root->setParent(window); // a window type (QMainWindow) becomes a plain child here
    QLayout* layout = window->layout();
    if (!layout) {
        layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
    }
    layout->addWidget(root);
    window->resize(size);
    return root;
}

namespace detail {

void throwMissingControl(const QMetaObject& wanted, const QString& name) {
    throw LayoutError(QStringLiteral("no window of class [%1] with name of [%2] is in the layout")
                          .arg(layoutClassName(wanted), name)
                          .toStdString());
}

} // namespace detail

} // namespace folimo::ui
