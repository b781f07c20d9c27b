#include "base/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSettings>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Overrides
{
    QHash<int, QString> ports;
    QString canBus;
};

Overrides &overrides()
{
    static Overrides o;
    return o;
}

QString portKey(int portIndex)
{
    return QStringLiteral("Ports/COM%1").arg(portIndex + 1);
}

bool writable(QSettings &s)
{
    return s.isWritable() && s.status() == QSettings::NoError;
}

// The value text of `key` in `[group]` exactly as the INI file holds it. The INI reader turns a
// value with an unquoted comma into a list, which is not what a hand-written device path means.
QString rawIniValue(const QString &fileName, const QString &group, const QString &key)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    const QByteArray wantedGroup = '[' + group.toUtf8() + ']';
    const QByteArray wantedKey = key.toUtf8();
    bool inGroup = false;
    QString found;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.startsWith('[')) {
            inGroup = line == wantedGroup;
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (inGroup && eq > 0 && line.left(eq).trimmed() == wantedKey)
            found = QString::fromUtf8(line.mid(eq + 1).trimmed()); // the last one counts
    }
    return found;
}

} // namespace

namespace SettingsStore {

std::unique_ptr<QSettings> open()
{
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                       QStringLiteral("Halvero"), QStringLiteral("BrasvikV6"));
}

bool parsePlainInteger(const QString &text, int *value)
{
    // Optional minus sign and decimal digits only: no blanks, no "0x", no "1e3", no "true".
    if (text.isEmpty() || text.size() > 11)
        return false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (!(c.isDigit() && c.unicode() < 128) && !(i == 0 && c == u'-' && text.size() > 1))
            return false;
    }
    bool ok = false;
    const int v = text.toInt(&ok, 10);
    if (ok && value)
        *value = v;
    return ok;
}

bool parseFlag(const QString &text, bool *value)
{
    int number = 0;
    bool flag = false;
    if (parsePlainInteger(text, &number))
        flag = number != 0;
    else if (text.compare(u"true", Qt::CaseInsensitive) == 0
             || text.compare(u"yes", Qt::CaseInsensitive) == 0)
        flag = true;
    else if (text.compare(u"false", Qt::CaseInsensitive) != 0
             && text.compare(u"no", Qt::CaseInsensitive) != 0)
        return false;
    if (value)
        *value = flag;
    return true;
}

QString readProblem()
{
    const QString fileName = open()->fileName();
    const QString shown = QDir::toNativeSeparators(fileName);
    const QString defaults = QStringLiteral(" The default settings are used.");
    const int fd = ::open(QFile::encodeName(fileName).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        // No file (or no folder yet) is a first start, not a problem.
        if (error == ENOENT)
            return {};
        return QStringLiteral("The settings file \"%1\" cannot be read: %2.")
                   .arg(shown, QString::fromLocal8Bit(std::strerror(error)))
            + defaults;
    }
    struct stat st;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular)
        return QStringLiteral("The settings file \"%1\" cannot be read: it is not a regular "
                              "file.")
                   .arg(shown)
            + defaults;
    return {};
}

int readInteger(const QString &name, int defaultValue)
{
    auto s = open();
    const QVariant v = s->value(name);
    if (!v.isValid() || v.typeId() != QMetaType::QString)
        return defaultValue;
    int value = defaultValue;
    return parsePlainInteger(v.toString(), &value) ? value : defaultValue;
}

bool readBool(const QString &name)
{
    auto s = open();
    const QVariant v = s->value(name);
    bool flag = false;
    return v.typeId() == QMetaType::QString && parseFlag(v.toString(), &flag) && flag;
}

bool writeInteger(const QString &name, int value)
{
    auto s = open();
    if (!writable(*s))
        return false;
    s->setValue(name, QString::number(value));
    s->sync();
    return s->status() == QSettings::NoError;
}

bool writeBool(const QString &name, bool value)
{
    return writeInteger(name, value ? 1 : 0);
}

namespace {

// A value of the group "Ports" as written: the INI reader turns a value with an unquoted comma
// into a list, which is not what a hand-written path or sequence means.
QString portsValue(QSettings &s, const QString &key)
{
    const QVariant value = s.value(QStringLiteral("Ports/") + key);
    QString stored = value.toString();
    if (value.typeId() == QMetaType::QStringList) {
        stored = rawIniValue(s.fileName(), QStringLiteral("Ports"), key);
        if (stored.isEmpty())
            stored = value.toStringList().join(u',');
    }
    return stored.trimmed();
}

} // namespace

QString comPortDevicePath(int portIndex)
{
    const auto it = overrides().ports.constFind(portIndex);
    if (it != overrides().ports.constEnd())
        return *it;
    const QString fallback = QStringLiteral("/dev/ttyS%1").arg(portIndex);
    auto s = open();
    const QString stored = portsValue(*s, QStringLiteral("COM%1").arg(portIndex + 1));
    return stored.isEmpty() ? fallback : stored;
}

QString comPortBootLines(int portIndex)
{
    auto s = open();
    return portsValue(*s, bootLinesKey(portIndex));
}

QString bootLinesKey(int portIndex)
{
    return QStringLiteral("COM%1BootLines").arg(portIndex + 1);
}

bool setComPortDevicePath(int portIndex, const QString &path)
{
    auto s = open();
    if (!writable(*s))
        return false;
    s->setValue(portKey(portIndex), path);
    s->sync();
    return s->status() == QSettings::NoError;
}

void overrideComPortDevicePath(int portIndex, const QString &path)
{
    if (path.trimmed().isEmpty())
        overrides().ports.remove(portIndex);
    else
        overrides().ports.insert(portIndex, path);
}

QString canBus()
{
    if (!overrides().canBus.isEmpty())
        return overrides().canBus;
    auto s = open();
    const QString stored = s->value(QStringLiteral("CANBus")).toString();
    return stored.isEmpty() ? QStringLiteral("socketcan:can0") : stored;
}

bool setCanBus(const QString &bus)
{
    auto s = open();
    if (!writable(*s))
        return false;
    s->setValue(QStringLiteral("CANBus"), bus);
    s->sync();
    return s->status() == QSettings::NoError;
}

void overrideCanBus(const QString &bus)
{
    overrides().canBus = bus;
}

void clearOverrides()
{
    overrides() = Overrides();
}

} // namespace SettingsStore
