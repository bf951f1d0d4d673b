#include "RegistryStore.h"

#include <folimo/WideText.h>

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <algorithm>
#include <cstdint>
#include <limits>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace folimo {

namespace {

QString toQString(const std::wstring& text) {
    return QString::fromWCharArray(text.data(), static_cast<qsizetype>(text.size()));
}

// The store's file, wherever QSettings::setPath put the per-user files: the folder of
// the organisation's own file, which Qt keeps beside the program's folder. Asking an
// organisation-only store for its name opens nothing of the program's.
QString storeFile() {
    const QSettings organisation(QSettings::NativeFormat, QSettings::UserScope,
                                 QStringLiteral("Velmar"));
    return QFileInfo(organisation.fileName()).path() + QStringLiteral("/Velmar/Folimo.conf");
}

// A store file that is not a regular file (a FIFO, a device) is never handed to
// QSettings: reading a FIFO waits for a writer that never comes, and a save would put a
// file in its place. Looked at without blocking: lstat, and for a link the target opened
// with O_NONBLOCK.
bool storeFileRefused(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0)
        return false; // absent: created by the first write
    if (S_ISLNK(st.st_mode)) {
        const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return errno != ENOENT && errno != EACCES;
        const bool statted = ::fstat(fd, &st) == 0;
        ::close(fd);
        if (!statted)
            return true;
    }
    return !S_ISREG(st.st_mode);
}

QSettings openStore() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Velmar"),
                     QStringLiteral("Folimo"));
}

void enterKey(QSettings& store, const std::wstring& subkey) {
    // Only the per-user key: the organisation-wide and system-wide files that Qt would
    // otherwise read behind it have no counterpart in the registry key.
    store.setFallbacksEnabled(false);
    QString group = toQString(subkey);
    group.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!group.isEmpty())
        store.beginGroup(group);
}

int writeValue(const std::wstring& subkey, const std::wstring& name, const QVariant& value) {
    if (storeFileRefused(storeFile()))
        return 0;
    QSettings store = openStore();
    enterKey(store, subkey);
    // Qt keeps a change that it could not save in a cache of the file shared by the whole
    // process, where every later reader would take it for stored. So nothing is changed
    // unless the file can be written at all...
    if (!store.isWritable())
        return 0;
    const bool parsedCleanly = store.status() == QSettings::NoError;
    const QString key = toQString(name);
    const bool existed = store.contains(key);
    const QVariant previous = store.value(key);
    store.setValue(key, value);
    store.sync();
    bool written;
    if (parsedCleanly) {
        written = store.status() == QSettings::NoError;
    } else {
        // A file that did not parse (edited by hand) leaves its FormatError in place
        // whatever the save did. A save rewrites the file in Qt's own form, after which a
        // fresh look finds nothing wrong; a save still pending is tried again and fails.
        QSettings check = openStore();
        enterKey(check, {});
        written = check.status() == QSettings::NoError;
    }
    if (written)
        return 1;
    // ...and when the save fails even so (a folder that cannot take the new file), the
    // change is taken back, so this process goes on reading what the store really holds.
    if (existed)
        store.setValue(key, previous);
    else
        store.remove(key);
    return 0;
}

QVariant readValue(const std::wstring& subkey, const std::wstring& name) {
    if (storeFileRefused(storeFile()))
        return {};
    QSettings store = openStore();
    enterKey(store, subkey);
    return store.value(toQString(name));
}

} // namespace

std::wstring SavedListFile() {
    QString file = storeFile();
    file.chop(int(sizeof ".conf") - 1);
    return (file + QStringLiteral(".list")).toStdWString();
}

std::wstring RefusedStoreFile() {
    const QString path = storeFile();
    return storeFileRefused(path) ? path.toStdWString() : std::wstring();
}

int RegistryStore::WriteString(const std::wstring& name, const std::wstring& text,
                               const std::wstring& subkey) {
    // A path whose file name is not UTF-8 holds bytes that no text can carry; it is kept
    // as those bytes, so it names the same file when it is read back.
    if (std::any_of(text.begin(), text.end(), isEscapedByte))
        return writeValue(subkey, name, QVariant(QByteArray::fromStdString(toUtf8(text))));
    return writeValue(subkey, name, QVariant(toQString(text)));
}

std::wstring RegistryStore::ReadString(const std::wstring& name, const std::wstring& defaultText,
                                       const std::wstring& subkey) const {
    const QVariant value = readValue(subkey, name);
    if (value.typeId() == QMetaType::QByteArray) {
        // Only the bytes of a name that no text can carry stand for a text; any other
        // byte value is of the wrong kind, as a number would be.
        std::wstring bytes = fromUtf8(value.toByteArray().toStdString());
        return std::any_of(bytes.begin(), bytes.end(), isEscapedByte) ? bytes : defaultText;
    }
    if (value.typeId() != QMetaType::QString)
        return defaultText;
    return value.toString().toStdWString();
}

int RegistryStore::WriteNumber(const std::wstring& name, int value, const std::wstring& subkey) {
    return writeValue(subkey, name, QVariant(value));
}

int RegistryStore::ReadNumber(const std::wstring& name, int defaultValue,
                              const std::wstring& subkey) const {
    const QVariant value = readValue(subkey, name);
    bool ok = false;
    qlonglong number = 0;
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
        number = value.toLongLong(&ok);
        break;
    case QMetaType::ULongLong:
        if (value.toULongLong() <= std::numeric_limits<std::uint32_t>::max())
            number = value.toLongLong(&ok);
        break;
    case QMetaType::QString:
        // The ini file holds every number as text.
        number = value.toString().trimmed().toLongLong(&ok, 10);
        break;
    default:
        break;
    }
    if (!ok || number < std::numeric_limits<std::int32_t>::min() ||
        number > static_cast<qlonglong>(std::numeric_limits<std::uint32_t>::max()))
        return defaultValue;
    return static_cast<int>(static_cast<std::uint32_t>(number));
}

} // namespace folimo
