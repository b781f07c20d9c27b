#include "base/SettingsCheck.h"

#include "base/BKGlobal.h"
#include "base/RegistryUnit.h"
#include "base/SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <pwd.h>
#include <unistd.h>

namespace SettingsCheck {

namespace {

const QString Id = QStringLiteral("settings.value");

QString rateText(int ordinal)
{
    static const int rates[] = {1200, 2400, 4800, 9600, 19200, 28800, 38400, 57600, 115200};
    return RegistryUnit::ValidBaudrate(ordinal)
        ? QStringLiteral("%1 (%2 bit/s)").arg(ordinal).arg(rates[ordinal])
        : QString::number(ordinal);
}

QString canRateText(int code)
{
    const int kbit = code == 5 ? 125 : code == 6 ? 250 : 500;
    return QStringLiteral("%1 (%2 kbit/s)").arg(code).arg(kbit);
}

// One integer value the program reads: its default and what it accepts.
struct IntegerKey
{
    QString name;
    int defaultValue = 0;
    QString accepted; // for the message, e.g. "3, 4, 6 or 7"
    bool (*valid)(int) = nullptr; // nullptr: any whole number
    QString (*describe)(int) = nullptr;
};

QString plain(int v)
{
    return QString::number(v);
}

QString portText(int v)
{
    return QStringLiteral("%1 (COM%1)").arg(v);
}

const QList<IntegerKey> &integerKeys()
{
    const TSettings d;
    static const QList<IntegerKey> keys = {
        {QStringLiteral("COMPort"), 1, QStringLiteral("1 to 16"),
         [](int v) { return v >= 1 && v <= RegistryUnit::PortCount; }, portText},
        {QStringLiteral("Baudrate"), 7, QStringLiteral("0 to 8"), RegistryUnit::ValidBaudrate,
         rateText},
        {QStringLiteral("brDefault"), d.brDefault, QStringLiteral("3, 4, 6 or 7"),
         RegistryUnit::ValidBrDefault, rateText},
        {QStringLiteral("brCVBRDx"), d.brCVBRDx, QStringLiteral("3, 4, 6, 7 or 8"),
         RegistryUnit::ValidBrCVBRDx, rateText},
        {QStringLiteral("DownloadOpt1"), 0, {}, nullptr, plain},
        {QStringLiteral("DownloadVerify"), 0, {}, nullptr, plain},
        {QStringLiteral("UploadOpt1"), 0, {}, nullptr, plain},
        {QStringLiteral("UploadOpt2"), 0, {}, nullptr, plain},
        {QStringLiteral("UploadOpt3"), 0, {}, nullptr, plain},
        {QStringLiteral("UploadOpt4"), 0, {}, nullptr, plain},
        {QStringLiteral("UploadOpt5"), 0, {}, nullptr, plain},
        {QStringLiteral("UploadOpt6"), 0, {}, nullptr, plain},
        {QStringLiteral("COMInterface"), d.COMInterface, QStringLiteral("0, 1 or 2"),
         [](int v) { return v >= InterfaceRS232 && v <= InterfaceCAN2; }, plain},
        {QStringLiteral("CANEnabled"), 0, {}, nullptr, plain},
        {QStringLiteral("CANEPP"), 0, {}, nullptr, plain},
        {QStringLiteral("CANBaudrate"), d.CANBaudrate, QStringLiteral("5, 6 or 7"),
         RegistryUnit::ValidCANBaudrate, canRateText},
        {QStringLiteral("CANIOPort"), d.CANIOPort, QStringLiteral("0 to 14"),
         [](int v) { return v >= 0 && v <= 14; }, plain},
        {QStringLiteral("CANInterrupt"), d.CANInterrupt, QStringLiteral("0 to 8"),
         [](int v) { return v >= 0 && v <= 8; }, plain},
        {QStringLiteral("State"), RegistryUnit::StateNormal, QStringLiteral("0, 1 or 2"),
         [](int v) { return v >= RegistryUnit::StateNormal && v <= RegistryUnit::StateMaximized; },
         plain},
        {QStringLiteral("Height"), 0, {}, nullptr, nullptr},
        {QStringLiteral("Left"), 0, {}, nullptr, nullptr},
        {QStringLiteral("Top"), 0, {}, nullptr, nullptr},
        {QStringLiteral("Width"), 0, {}, nullptr, nullptr},
    };
    return keys;
}

// Top-level keys read elsewhere (the CAN doctor checks the value of CANBus).
const QStringList &otherKeys()
{
    static const QStringList keys = {QStringLiteral("CANBus")};
    return keys;
}

QString storedText(const QVariant &value)
{
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

QString fixHint(const QString &key, const QString &file)
{
    return QStringLiteral("Set it in the configuration dialog, or correct or delete the line "
                          "\"%1=\" in %2.")
        .arg(key, file);
}

void checkIntegers(QSettings &s, const QString &file, DiagnosisChecks &out, int *goodCount)
{
    for (const IntegerKey &key : integerKeys()) {
        const QVariant v = s.value(key.name);
        if (!v.isValid())
            continue;
        const QString text = storedText(v);
        int value = 0;
        const bool integer
            = v.typeId() == QMetaType::QString && SettingsStore::parsePlainInteger(text, &value);
        const QString fallback = key.describe
            ? QStringLiteral("the default %1 is used").arg(key.describe(key.defaultValue))
            : QStringLiteral("the window's own default is used");
        if (!integer) {
            out.append(DiagnosisCheck::warn(
                Id,
                QStringLiteral("Settings: %1 = \"%2\" is not a whole number: %3")
                    .arg(key.name, text, fallback),
                fixHint(key.name, file)));
        } else if (key.valid && !key.valid(value)) {
            out.append(DiagnosisCheck::warn(Id,
                                            QStringLiteral("Settings: %1 = %2 is not %3: %4")
                                                .arg(key.name, text, key.accepted, fallback),
                                            fixHint(key.name, file)));
        } else {
            ++*goodCount;
        }
    }

    // A CAN interface without the dongle enabled is read as RS-232.
    int iface = 0;
    int enabled = 0;
    if (SettingsStore::parsePlainInteger(s.value(QStringLiteral("COMInterface")).toString(), &iface)
        && iface > InterfaceRS232 && iface <= InterfaceCAN2
        && !(SettingsStore::parsePlainInteger(s.value(QStringLiteral("CANEnabled")).toString(),
                                              &enabled)
             && enabled != 0)) {
        out.append(DiagnosisCheck::warn(
            Id,
            QStringLiteral("Settings: COMInterface = %1 (CAN%1) is ignored while CANEnabled is "
                           "off: transfers use RS-232")
                .arg(iface),
            QStringLiteral("Enable CAN in the configuration dialog (CANEnabled=1), or set "
                           "COMInterface=0 in %1.")
                .arg(file)));
    }
}

void checkKeyNames(QSettings &s, const QString &file, DiagnosisChecks &out)
{
    QStringList known = otherKeys();
    for (const IntegerKey &key : integerKeys())
        known.append(key.name);
    for (const QString &stored : s.childKeys()) {
        for (const QString &name : std::as_const(known)) {
            if (stored != name && stored.compare(name, Qt::CaseInsensitive) == 0) {
                out.append(DiagnosisCheck::warn(
                    Id,
                    QStringLiteral("Settings: the key \"%1\" is not read: keys are case-sensitive, "
                                   "the program reads \"%2\"")
                        .arg(stored, name),
                    QStringLiteral("Rename \"%1\" to \"%2\" in %3.").arg(stored, name, file)));
            }
        }
    }
}

void checkPorts(QSettings &s, const QString &file, DiagnosisChecks &out, int *goodCount)
{
    s.beginGroup(QStringLiteral("Ports"));
    const QStringList keys = s.childKeys();
    for (const QString &key : keys) {
        const QString path = storedText(s.value(key));
        const QString where = QStringLiteral("Ports/%1").arg(key);
        // COM<n>BootLines belongs to the port; the transfer's boot line check reads its form.
        const bool bootLines = key.endsWith(QLatin1String("BootLines"));
        const QString port = bootLines ? key.chopped(9) : key;
        bool numbered = false;
        const int n = port.startsWith(QLatin1String("COM")) ? port.mid(3).toInt(&numbered) : 0;
        if (!numbered || n < 1 || n > RegistryUnit::PortCount
            || port != QStringLiteral("COM%1").arg(n)) {
            out.append(DiagnosisCheck::warn(
                Id,
                QStringLiteral("Settings: %1 is not read: the ports are COM1 to COM16").arg(where),
                QStringLiteral("Rename or delete the line \"%1=\" in the group [Ports] of %2.")
                    .arg(key, file)));
        } else if (bootLines) {
            continue;
        } else if (path.isEmpty()) {
            out.append(DiagnosisCheck::warn(
                Id,
                QStringLiteral("Settings: %1 is empty: /dev/ttyS%2 is used").arg(where).arg(n - 1),
                QStringLiteral("Write the device path, e.g. %1=/dev/ttyUSB0, in the group [Ports] "
                               "of %2.")
                    .arg(key, file)));
        } else if (!QDir::isAbsolutePath(path)) {
            out.append(DiagnosisCheck::warn(
                Id,
                QStringLiteral("Settings: %1 = %2 is not an absolute path: it depends on the "
                               "folder the program starts in")
                    .arg(where, path),
                QStringLiteral("Write the full device path, e.g. %1=/dev/%2, in the group [Ports] "
                               "of %3.")
                    .arg(key, QFileInfo(path).fileName(), file)));
        } else {
            ++*goodCount;
        }
    }
    s.endGroup();
}

// The folder the first save creates the file in must be writable; walks up to the part of the
// path that exists.
QString existingAncestor(const QString &path)
{
    QFileInfo info(path);
    while (!info.exists() && !info.isRoot() && info.absolutePath() != info.absoluteFilePath())
        info = QFileInfo(info.absolutePath());
    return info.absoluteFilePath();
}

} // namespace

Environment Environment::current()
{
    Environment env;
    env.iniPath = SettingsStore::open()->fileName();
    if (const passwd *pw = ::getpwuid(::getuid()))
        env.userName = QString::fromLocal8Bit(pw->pw_name);
    if (env.userName.isEmpty())
        env.userName = qEnvironmentVariable("USER");
    env.canRead = [](const QString &path) {
        return ::access(QFile::encodeName(path).constData(), R_OK) == 0;
    };
    env.canWrite = [](const QString &path) {
        return ::access(QFile::encodeName(path).constData(), W_OK) == 0;
    };
    return env;
}

DiagnosisChecks run(const Environment &env)
{
    DiagnosisChecks out;
    const QString file = env.iniPath;
    const QFileInfo info(file);

    if (!info.exists()) {
        out.append(DiagnosisCheck::ok(
            QStringLiteral("settings.file"),
            QStringLiteral("Settings file %1: not there yet, the defaults are in use").arg(file)));
        const QString folder = existingAncestor(info.absolutePath());
        if (!env.canWrite(folder)) {
            out.append(DiagnosisCheck::warn(
                QStringLiteral("settings.write"),
                QStringLiteral("Settings: %1 cannot be written: the configuration will not be "
                               "saved")
                    .arg(folder),
                QStringLiteral("Make the folder yours: sudo chown %1: %2")
                    .arg(env.userName, folder)));
        }
        return out;
    }
    if (!info.isFile()) {
        out.append(DiagnosisCheck::fail(
            QStringLiteral("settings.file"),
            QStringLiteral("Settings file %1 is not a file: the defaults are in use").arg(file),
            QStringLiteral("Move %1 out of the way; the program writes a new file at exit.")
                .arg(file)));
        return out;
    }
    if (!env.canRead(file)) {
        out.append(DiagnosisCheck::fail(
            QStringLiteral("settings.file"),
            QStringLiteral("Settings file %1 cannot be read: the defaults are in use").arg(file),
            QStringLiteral("Make it yours again (a run under sudo may have written it): sudo chown "
                           "%1: %2")
                .arg(env.userName, file)));
        return out;
    }
    out.append(DiagnosisCheck::ok(QStringLiteral("settings.file"),
                                  QStringLiteral("Settings file %1: found, readable").arg(file)));
    if (!env.canWrite(file)) {
        out.append(DiagnosisCheck::warn(
            QStringLiteral("settings.write"),
            QStringLiteral("Settings file %1 cannot be written: changes made in the configuration "
                           "dialog are lost at exit")
                .arg(file),
            QStringLiteral("Make it yours again: sudo chown %1: %2").arg(env.userName, file)));
    }

    QSettings s(file, QSettings::IniFormat);
    if (s.status() == QSettings::FormatError) {
        out.append(DiagnosisCheck::warn(
            QStringLiteral("settings.format"),
            QStringLiteral("Settings file %1 has lines that are not \"key=value\": they are "
                           "ignored")
                .arg(file),
            QStringLiteral("Correct or delete the broken lines in %1.").arg(file)));
    }
    const qsizetype before = out.size();
    int good = 0;
    checkIntegers(s, file, out, &good);
    checkKeyNames(s, file, out);
    checkPorts(s, file, out, &good);
    if (out.size() == before) {
        out.append(DiagnosisCheck::ok(
            Id, QStringLiteral("Settings: %1 stored values, all in range").arg(good)));
    }
    return out;
}

} // namespace SettingsCheck
