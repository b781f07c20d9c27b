#include "base/SettingsStore.h"

#include <QHash>
#include <QSettings>

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
    return readInteger(name, 0) != 0;
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

QString comPortDevicePath(int portIndex)
{
    const auto it = overrides().ports.constFind(portIndex);
    if (it != overrides().ports.constEnd())
        return *it;
    const QString fallback = QStringLiteral("/dev/ttyS%1").arg(portIndex);
    auto s = open();
    const QString stored = s->value(portKey(portIndex)).toString();
    return stored.isEmpty() ? fallback : stored;
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
