#include "cli/CliTransferSetup.h"

#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "core/ImageLoader.h"
#include "core/ImageState.h"
#include "comm/KTComm.h"
#include "comm/KTSerial.h"
#include "base/SettingsStore.h"
#include "transfer/BootLines.h"
#include "transfer/TargetFiles.h"
#include "transfer/TransferSession.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

namespace CliTransferSetup {

QStringList valueOptions()
{
    return {QStringLiteral("device"),  QStringLiteral("interface"),  QStringLiteral("port"),
            QStringLiteral("baud"),    QStringLiteral("can-bus"),    QStringLiteral("can-bitrate"),
            QStringLiteral("h86-dir"), QStringLiteral("boot-lines"), QStringLiteral("unit")};
}

QStringList flagOptions()
{
    return {QStringLiteral("yes")};
}

bool unitIdValid(const QString &id)
{
    if (id.trimmed().isEmpty() || id.trimmed() != id || id.size() > MaxUnitIdLength)
        return false;
    for (const QChar c : id) {
        if (!c.isPrint())
            return false;
    }
    return true;
}

QString unitIdRule()
{
    return QStringLiteral("--unit needs a unit ID of 1 to %1 printable characters, without "
                          "blanks at either end")
        .arg(MaxUnitIdLength);
}

bool parseDevice(const QString &text, DeviceKind *deviceType)
{
    const std::optional<DeviceKind> kind = deviceKindFromName(text);
    if (kind)
        *deviceType = *kind;
    return kind.has_value();
}

bool loadImage(const QString &path, const CliOptions &options, ImageState *image,
               DeviceKind *deviceType)
{
    DeviceKind wanted = DeviceKind::None;
    if (options.isSet(QStringLiteral("device"))
        && !parseDevice(options.value(QStringLiteral("device")), &wanted)) {
        usageError(QStringLiteral("--device must be 46xx or 4610"));
        return false;
    }
    const bool isH86 = ImageLoader::isH86Path(path);
    if (isH86 && wanted == DeviceKind::None) {
        usageError(QStringLiteral("--device is required for an H86 image"));
        return false;
    }
    DeviceKind type = DeviceKind::None;
    const ImageLoader::Result result
        = ImageLoader::LoadImageFile(*image, path, type, [wanted](DeviceKind &chosen) {
              chosen = wanted;
              return true;
          });
    if (!result.ok()) {
        printErr(result.message.text.isEmpty() ? QStringLiteral("Cannot load %1").arg(path)
                                               : result.message.text);
        return false;
    }
    if (!isH86 && wanted != DeviceKind::None && wanted != type) {
        usageError(QStringLiteral("the image is for the %1, not for the device given with --device")
                       .arg(type == DeviceKind::Board4610
                                ? QStringLiteral("VMC 4610 converter board")
                                : QStringLiteral("46xx devices")));
        return false;
    }
    *deviceType = type;
    return true;
}

namespace {

const QString PortValueError = QStringLiteral("--port must be COM1 to COM16 or a device path");

// The COM port index of "COMn" (-1 for anything else, -2 for a COMn out of range).
int comIndex(const QString &port)
{
    static const QRegularExpression com(QStringLiteral("^COM([0-9]+)$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = com.match(port);
    if (!m.hasMatch())
        return -1;
    const int n = m.captured(1).toInt();
    return n >= 1 && n <= RegistryUnit::PortCount ? n - 1 : -2;
}

// Two names of one device (a link and its target) count as the same port.
QString deviceIdentity(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

} // namespace

bool resolvePorts(const QStringList &ports, int selectedIndex, QList<PortChoice> *choices,
                  QString *error)
{
    if (ports.size() > MaxPorts) {
        *error = QStringLiteral("at most %1 ports at once").arg(MaxPorts);
        return false;
    }
    QList<PortChoice> result;
    QList<bool> used(RegistryUnit::PortCount, false);
    QStringList paths; // by position in `ports`; empty for COMn
    for (const QString &port : ports) {
        const int index = comIndex(port);
        if (index == -2 || port.isEmpty()) {
            *error = PortValueError;
            return false;
        }
        if (index >= 0) {
            used[index] = true;
            result.append({QStringLiteral("COM%1").arg(index + 1), index, {}, {}, {}});
            paths.append(QString());
        } else {
            result.append({port, -1, {}, {}, {}});
            paths.append(QFileInfo(port).absoluteFilePath());
        }
    }
    for (qsizetype i = 0; i < result.size(); ++i) {
        if (result[i].portIndex >= 0)
            continue;
        int index = selectedIndex >= 0 && selectedIndex < RegistryUnit::PortCount
                && !used[selectedIndex]
            ? selectedIndex
            : int(used.indexOf(false));
        used[index] = true;
        result[i].portIndex = index;
    }
    QHash<QString, QString> seen; // device -> the label it came with first
    for (qsizetype i = 0; i < result.size(); ++i) {
        const QString path = paths[i].isEmpty()
            ? SettingsStore::comPortDevicePath(result[i].portIndex)
            : paths[i];
        result[i].path = path;
        const QString identity = deviceIdentity(path);
        if (seen.contains(identity)) {
            *error = seen.value(identity) == result[i].label
                ? QStringLiteral("--port %1 is given twice").arg(result[i].label)
                : QStringLiteral("--port %1 and --port %2 are the same device (%3)")
                      .arg(seen.value(identity), result[i].label, path);
            return false;
        }
        seen.insert(identity, result[i].label);
    }
    // Only now, when nothing is refused: a path stands for its COM port for this run.
    for (qsizetype i = 0; i < result.size(); ++i) {
        if (!paths[i].isEmpty())
            SettingsStore::overrideComPortDevicePath(result[i].portIndex, paths[i]);
    }
    *choices = result;
    return true;
}

bool prepare(const CliOptions &options, DeviceKind deviceType, Setup *setup, QString *error)
{
    RegistryUnit::LoadSettings(setup->settings, setup->serial);
    TSettings &s = setup->settings;
    setup->assumeYes = options.isSet(QStringLiteral("yes"));

    if (options.isSet(QStringLiteral("interface"))) {
        const QString iface = options.value(QStringLiteral("interface")).toLower();
        if (iface == QLatin1String("rs232"))
            s.COMInterface = InterfaceRS232;
        else if (iface == QLatin1String("can1"))
            s.COMInterface = InterfaceCAN1;
        else if (iface == QLatin1String("can2"))
            s.COMInterface = InterfaceCAN2;
        else {
            *error = QStringLiteral("--interface must be rs232, can1 or can2");
            return false;
        }
        if (s.COMInterface != InterfaceRS232 && deviceType != DeviceKind::Device46xx) {
            *error = QStringLiteral("CAN is available for the 46xx devices only");
            return false;
        }
    } else if (!s.CANEnabled) {
        s.COMInterface = InterfaceRS232;
    }

    if (options.values(QStringLiteral("port")).size() > 1) {
        if (!resolvePorts(options.values(QStringLiteral("port")), setup->serial.PortIndex,
                          &setup->ports, error))
            return false;
    } else if (options.isSet(QStringLiteral("port"))) {
        const QString port = options.value(QStringLiteral("port"));
        static const QRegularExpression com(QStringLiteral("^COM([0-9]+)$"),
                                            QRegularExpression::CaseInsensitiveOption);
        const QRegularExpressionMatch m = com.match(port);
        if (m.hasMatch()) {
            const int n = m.captured(1).toInt();
            if (n < 1 || n > RegistryUnit::PortCount) {
                *error = QStringLiteral("--port must be COM1 to COM16 or a device path");
                return false;
            }
            setup->serial.PortIndex = n - 1;
        } else if (port.isEmpty()) {
            *error = QStringLiteral("--port must be COM1 to COM16 or a device path");
            return false;
        } else {
            // A path stands for the selected COM port for this run only.
            SettingsStore::overrideComPortDevicePath(setup->serial.PortIndex,
                                                     QFileInfo(port).absoluteFilePath());
        }
    }

    if (options.isSet(QStringLiteral("baud"))) {
        bool ok = false;
        const int rate = options.value(QStringLiteral("baud")).toInt(&ok);
        TBaudrate ordinal = br9600;
        if (!ok || !BaudrateFromValue(rate, &ordinal)) {
            *error = QStringLiteral("--baud must be one of 1200, 2400, 4800, 9600, 19200, 28800, "
                                    "38400, 57600, 115200");
            return false;
        }
        s.brDefault = ordinal;
        s.brCVBRDx = ordinal;
    }

    const QStringList buses = options.values(QStringLiteral("can-bus"));
    for (const QString &bus : buses) {
        if (!bus.contains(u':')) {
            *error = QStringLiteral("--can-bus must be written PLUGIN:INTERFACE");
            return false;
        }
    }
    const qsizetype portCount = qMax<qsizetype>(1, setup->ports.size());
    if (buses.size() > 1 && buses.size() != portCount) {
        *error = QStringLiteral("--can-bus is given %1 times for %2 %3: give it once, or once per "
                                "--port in the same order")
                     .arg(buses.size())
                     .arg(portCount)
                     .arg(portCount == 1 ? QStringLiteral("port") : QStringLiteral("ports"));
        return false;
    }
    if (!buses.isEmpty())
        SettingsStore::overrideCanBus(buses.first());
    setup->canBus = SettingsStore::canBus();
    for (qsizetype i = 0; i < setup->ports.size(); ++i)
        setup->ports[i].canBus = buses.size() > 1 ? buses.at(i) : setup->canBus;

    const QStringList units = options.values(QStringLiteral("unit"));
    if (units.size() > 1 && units.size() != portCount) {
        *error = QStringLiteral("--unit is given %1 times for %2 ports: give it once per --port, "
                                "in the same order")
                     .arg(units.size())
                     .arg(portCount);
        return false;
    }
    for (const QString &unit : units) {
        if (!unitIdValid(unit)) {
            *error = unitIdRule();
            return false;
        }
    }
    if (units.size() == 1 && setup->ports.size() > 1) {
        *error = QStringLiteral("--unit names one unit: give it once per --port");
        return false;
    }
    setup->unitId = units.isEmpty() ? QString() : units.first();
    for (qsizetype i = 0; i < setup->ports.size() && units.size() > 1; ++i)
        setup->ports[i].unitId = units.at(i);

    if (options.isSet(QStringLiteral("can-bitrate"))) {
        const QString rate = options.value(QStringLiteral("can-bitrate"));
        if (rate == QLatin1String("125"))
            s.CANBaudrate = 5;
        else if (rate == QLatin1String("250"))
            s.CANBaudrate = 6;
        else if (rate == QLatin1String("500"))
            s.CANBaudrate = 7;
        else {
            *error = QStringLiteral("--can-bitrate must be 125, 250 or 500");
            return false;
        }
    }

    if (options.isSet(QStringLiteral("h86-dir"))) {
        const QString dir = options.value(QStringLiteral("h86-dir"));
        if (!QFileInfo(dir).isDir()) {
            *error = QStringLiteral("--h86-dir: %1 is not a folder").arg(dir);
            return false;
        }
        TargetFiles::setDirectory(dir);
    }

    setup->portPath = SettingsStore::comPortDevicePath(setup->serial.PortIndex);

    if (options.isSet(QStringLiteral("boot-lines"))) {
        // Checked here as well as at the start, so that a typing error is a usage error.
        setup->bootLinesGiven = true;
        setup->bootLines = options.value(QStringLiteral("boot-lines"));
        const BootLines::Sequence sequence = BootLines::parse(setup->bootLines);
        if (!sequence.ok()) {
            *error = QStringLiteral("--boot-lines: %1").arg(sequence.error);
            return false;
        }
    }
    return true;
}

TransferSetup transferSetup(const Setup &setup, int portIndex, const QString &portPath,
                            const QString &canBus)
{
    TransferSetup result;
    result.portName = CommPortDeviceName(TPort(portIndex));
    result.portPath = portPath.isEmpty() ? SettingsStore::comPortDevicePath(portIndex) : portPath;
    if (setup.bootLinesGiven) {
        result.bootLines = setup.bootLines;
        result.bootLinesOrigin = QStringLiteral("--boot-lines");
    } else {
        result.bootLines = SettingsStore::comPortBootLines(portIndex);
        result.bootLinesOrigin = QStringLiteral("Ports/") + SettingsStore::bootLinesKey(portIndex);
    }
    result.canBus = canBus.isEmpty() ? SettingsStore::canBus() : canBus;
    result.unitId = setup.unitId;
    for (const PortChoice &port : setup.ports) {
        if (port.portIndex == portIndex)
            result.unitId = port.unitId;
    }
    result.targetDirectory = TargetFiles::directory();
    result.targetSearchPath = TargetFiles::searchPath();
    return result;
}

bool loadAndPrepare(const QString &path, const CliOptions &options, ImageState *image,
                    DeviceKind *deviceType, Setup *setup)
{
    if (!loadImage(path, options, image, deviceType))
        return false;
    QString error;
    if (!prepare(options, *deviceType, setup, &error)) {
        usageError(error);
        return false;
    }
    return true;
}

std::unique_ptr<TKTSerial> makeSerial(const Setup &setup)
{
    auto serial = std::make_unique<TKTSerial>();
    serial->SetPortName(TPort(setup.serial.PortIndex));
    serial->SetDevicePath(setup.portPath.isEmpty()
                              ? SettingsStore::comPortDevicePath(setup.serial.PortIndex)
                              : setup.portPath);
    serial->SetBaudrate(TBaudrate(setup.serial.Baudrate));
    serial->SetFrameParitybit(TParityBit::None);
    serial->SetRxBufSize(4096);
    serial->SetTxBufSize(4096);
    serial->SetSyncEventHandling(true);
    return serial;
}

} // namespace CliTransferSetup
