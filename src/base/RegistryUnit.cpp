#include "base/RegistryUnit.h"

#include "base/SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace RegistryUnit {

namespace {

bool writable(QSettings &key)
{
    return key.isWritable() && key.status() == QSettings::NoError;
}

// A byte field whose stored value passes the check, else the default.
quint8 readByte(QSettings &key, const QString &name, quint8 defaultValue, bool (*valid)(int))
{
    const int v = ReadInteger(key, name, defaultValue);
    return valid(v) ? static_cast<quint8>(v) : defaultValue;
}

bool inRange(int v, int low, int high)
{
    return v >= low && v <= high;
}

} // namespace

int ReadInteger(QSettings &key, const QString &name, int defaultValue)
{
    const QVariant v = key.value(name);
    if (!v.isValid() || v.typeId() != QMetaType::QString)
        return defaultValue;
    int value = defaultValue;
    return SettingsStore::parsePlainInteger(v.toString(), &value) ? value : defaultValue;
}

bool ReadBool(QSettings &key, const QString &name)
{
    const QVariant v = key.value(name);
    bool flag = false;
    return v.typeId() == QMetaType::QString && SettingsStore::parseFlag(v.toString(), &flag)
        && flag;
}

bool WriteInteger(QSettings &key, const QString &name, int value)
{
    if (!writable(key))
        return false;
    key.setValue(name, QString::number(value));
    return true;
}

bool WriteBool(QSettings &key, const QString &name, bool value)
{
    return WriteInteger(key, name, value ? 1 : 0);
}

bool CreateKeyIfMissing()
{
    const auto key = SettingsStore::open();
    return QDir().mkpath(QFileInfo(key->fileName()).absolutePath());
}

bool ValidBaudrate(int ordinal)
{
    return inRange(ordinal, 0, BaudrateCount - 1);
}

bool ValidBrDefault(int ordinal)
{
    return ordinal == 3 || ordinal == 4 || ordinal == 6 || ordinal == 7;
}

bool ValidBrCVBRDx(int ordinal)
{
    return ValidBrDefault(ordinal) || ordinal == 8;
}

bool ValidCANBaudrate(int code)
{
    return inRange(code, 5, 7);
}

void LoadSettings(TSettings &settings, TSerialSelection &serial)
{
    const auto key = SettingsStore::open();
    const TSettings defaults;

    const int port = ReadInteger(*key, QStringLiteral("COMPort"), 1);
    serial.PortIndex = inRange(port, 1, PortCount) ? port - 1 : 0;
    const int baud = ReadInteger(*key, QStringLiteral("Baudrate"), serial.Baudrate);
    if (ValidBaudrate(baud))
        serial.Baudrate = baud;

    settings.brDefault
        = readByte(*key, QStringLiteral("brDefault"), defaults.brDefault, ValidBrDefault);
    settings.brCVBRDx
        = readByte(*key, QStringLiteral("brCVBRDx"), defaults.brCVBRDx, ValidBrCVBRDx);
    settings.DownloadOpt1 = ReadBool(*key, QStringLiteral("DownloadOpt1"));
    settings.DownloadVerify = ReadBool(*key, QStringLiteral("DownloadVerify"));
    settings.UploadOpt1 = ReadBool(*key, QStringLiteral("UploadOpt1"));
    settings.UploadOpt2 = ReadBool(*key, QStringLiteral("UploadOpt2"));
    settings.UploadOpt3 = ReadBool(*key, QStringLiteral("UploadOpt3"));
    settings.UploadOpt4 = ReadBool(*key, QStringLiteral("UploadOpt4"));
    settings.UploadOpt5 = ReadBool(*key, QStringLiteral("UploadOpt5"));
    settings.UploadOpt6 = ReadBool(*key, QStringLiteral("UploadOpt6"));
    const int iface = ReadInteger(*key, QStringLiteral("COMInterface"), defaults.COMInterface);
    settings.COMInterface
        = inRange(iface, InterfaceRS232, InterfaceCAN2) ? iface : defaults.COMInterface;
    settings.CANEnabled = ReadBool(*key, QStringLiteral("CANEnabled"));
    if (!settings.CANEnabled)
        settings.COMInterface = InterfaceRS232;

    settings.CANEPP = ReadBool(*key, QStringLiteral("CANEPP"));
    settings.CANBaudrate
        = readByte(*key, QStringLiteral("CANBaudrate"), defaults.CANBaudrate, ValidCANBaudrate);
    settings.CANIOPort = readByte(*key, QStringLiteral("CANIOPort"), defaults.CANIOPort,
                                  [](int v) { return inRange(v, 0, 14); });
    settings.CANInterrupt = readByte(*key, QStringLiteral("CANInterrupt"), defaults.CANInterrupt,
                                     [](int v) { return inRange(v, 0, 8); });
}

bool SaveSettings(const TSettings &settings, const TSerialSelection &serial)
{
    CreateKeyIfMissing();
    const auto key = SettingsStore::open();
    if (!writable(*key))
        return false;
    WriteInteger(*key, QStringLiteral("COMPort"), serial.PortIndex + 1);
    WriteInteger(*key, QStringLiteral("Baudrate"), serial.Baudrate);
    WriteInteger(*key, QStringLiteral("brDefault"), settings.brDefault);
    WriteInteger(*key, QStringLiteral("brCVBRDx"), settings.brCVBRDx);
    WriteBool(*key, QStringLiteral("DownloadOpt1"), settings.DownloadOpt1);
    WriteBool(*key, QStringLiteral("DownloadVerify"), settings.DownloadVerify);
    WriteBool(*key, QStringLiteral("UploadOpt1"), settings.UploadOpt1);
    WriteBool(*key, QStringLiteral("UploadOpt2"), settings.UploadOpt2);
    WriteBool(*key, QStringLiteral("UploadOpt3"), settings.UploadOpt3);
    WriteBool(*key, QStringLiteral("UploadOpt4"), settings.UploadOpt4);
    WriteBool(*key, QStringLiteral("UploadOpt5"), settings.UploadOpt5);
    WriteBool(*key, QStringLiteral("UploadOpt6"), settings.UploadOpt6);
    WriteInteger(*key, QStringLiteral("COMInterface"), settings.COMInterface);
    WriteBool(*key, QStringLiteral("CANEnabled"), settings.CANEnabled);
    WriteBool(*key, QStringLiteral("CANEPP"), settings.CANEPP);
    WriteInteger(*key, QStringLiteral("CANBaudrate"), settings.CANBaudrate);
    WriteInteger(*key, QStringLiteral("CANIOPort"), settings.CANIOPort);
    WriteInteger(*key, QStringLiteral("CANInterrupt"), settings.CANInterrupt);
    key->sync();
    return key->status() == QSettings::NoError;
}

TWindowPlacement LoadPlacement(const TWindowPlacement &defaults)
{
    const auto key = SettingsStore::open();
    TWindowPlacement p;
    p.Height = ReadInteger(*key, QStringLiteral("Height"), defaults.Height);
    p.Left = ReadInteger(*key, QStringLiteral("Left"), defaults.Left);
    p.Top = ReadInteger(*key, QStringLiteral("Top"), defaults.Top);
    p.Width = ReadInteger(*key, QStringLiteral("Width"), defaults.Width);
    p.State = ReadInteger(*key, QStringLiteral("State"), defaults.State);
    if (!inRange(p.State, StateNormal, StateMaximized))
        p.State = defaults.State;
    return p;
}

bool SavePlacement(const TWindowPlacement &placement)
{
    CreateKeyIfMissing();
    const auto key = SettingsStore::open();
    if (!writable(*key))
        return false;
    WriteInteger(*key, QStringLiteral("State"), placement.State);
    if (placement.State == StateNormal) {
        WriteInteger(*key, QStringLiteral("Height"), placement.Height);
        WriteInteger(*key, QStringLiteral("Left"), placement.Left);
        WriteInteger(*key, QStringLiteral("Top"), placement.Top);
        WriteInteger(*key, QStringLiteral("Width"), placement.Width);
    }
    key->sync();
    return key->status() == QSettings::NoError;
}

} // namespace RegistryUnit
