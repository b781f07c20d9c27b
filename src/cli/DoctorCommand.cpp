#include "base/BKGlobal.h"
#include "base/DiagnosisCheck.h"
#include "base/SettingsCheck.h"
#include "base/SettingsStore.h"
#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "cli/CliTransferSetup.h"
#include "comm/CanDiagnosis.h"
#include "comm/PortDiagnosis.h"
#include "transfer/BootLines.h"
#include "transfer/TargetDiagnosis.h"
#include "transfer/TargetFiles.h"

namespace {

// The doctor's own status: 1 as soon as one check failed, like a usage error.
constexpr int ExitDoctorFailed = 1;

int canBitrate(int canBaudrateCode)
{
    return canBaudrateCode == 5 ? 125000 : canBaudrateCode == 6 ? 250000 : 500000;
}

// The boot line sequences of the ports that have one: a malformed one stops every transfer
// on its port before anything is sent, which fails the check on the port in use.
DiagnosisChecks bootLineChecks(int portInUse)
{
    DiagnosisChecks checks;
    for (int port = 0; port < RegistryUnit::PortCount; ++port) {
        const QString text = SettingsStore::comPortBootLines(port);
        if (text.isEmpty())
            continue;
        const QString key = QStringLiteral("Ports/") + SettingsStore::bootLinesKey(port);
        const BootLines::Sequence sequence = BootLines::parse(text);
        if (sequence.ok()) {
            checks.append(DiagnosisCheck::ok(
                QStringLiteral("settings.bootlines"),
                QStringLiteral("Settings: %1 = %2: boot entry through the modem lines")
                    .arg(key, BootLines::toText(sequence.steps))));
        } else {
            checks.append((port == portInUse ? DiagnosisCheck::fail : DiagnosisCheck::warn)(
                QStringLiteral("settings.bootlines"),
                QStringLiteral("Settings: %1 = \"%2\" is malformed (%3): transfers on COM%4 "
                               "stop before anything is sent")
                    .arg(key, text, sequence.error)
                    .arg(port + 1),
                QStringLiteral("Write comma-separated steps dtr=0|1, rts=0|1 and wait=MS, e.g. "
                               "%1BootLines=dtr=1,rts=1,wait=50,dtr=0,wait=100,rts=0, or delete "
                               "the line, in the group [Ports] of the settings file.")
                    .arg(QStringLiteral("COM%1").arg(port + 1))));
        }
    }
    return checks;
}

} // namespace

// brasvik-cli doctor: the settings, the COM port, the CAN bus and the target programs checked
// the way a transfer would use them, each finding with what to do about it.
int runDoctor(const QStringList &args)
{
    CliOptions options({QStringLiteral("device"), QStringLiteral("interface"),
                        QStringLiteral("port"), QStringLiteral("can-bus"),
                        QStringLiteral("can-bitrate"), QStringLiteral("h86-dir")},
                       {QStringLiteral("json")});
    if (!options.parse(args))
        return usageError(options.error());
    if (!options.positional().isEmpty())
        return usageError(QStringLiteral("doctor takes options only"));
    const bool deviceGiven = options.isSet(QStringLiteral("device"));
    DeviceKind deviceType = DeviceKind::Device46xx;
    if (deviceGiven
        && !CliTransferSetup::parseDevice(options.value(QStringLiteral("device")), &deviceType))
        return usageError(QStringLiteral("--device must be 46xx or 4610"));

    DiagnosisChecks checks = SettingsCheck::run(SettingsCheck::Environment::current());

    CliTransferSetup::Setup setup;
    QString error;
    if (!CliTransferSetup::prepare(options, deviceType, &setup, &error))
        return usageError(error);
    const TSettings &s = setup.settings;

    const int portIndex = setup.serial.PortIndex;
    checks += bootLineChecks(portIndex);
    checks += PortDiagnosis::run(QStringLiteral("COM%1").arg(portIndex + 1),
                                 SettingsStore::comPortDevicePath(portIndex),
                                 PortDiagnosis::Environment::current());

    const bool canInUse = deviceType == DeviceKind::Device46xx
        && TargetFiles::usesCan(DeviceKind::Device46xx, s.COMInterface);
    if (canInUse || options.isSet(QStringLiteral("can-bus"))) {
        checks += CanDiagnosis::run(SettingsStore::canBus(), canBitrate(s.CANBaudrate),
                                    CanDiagnosis::Environment::current());
    } else {
        checks.append(DiagnosisCheck::ok(QStringLiteral("can.use"),
                                         QStringLiteral("CAN: not in use (the interface is "
                                                        "RS-232)")));
    }

    TargetDiagnosis::Selection selection;
    selection.deviceTypes = deviceGiven
        ? QList<DeviceKind> {deviceType}
        : QList<DeviceKind> {DeviceKind::Device46xx, DeviceKind::Board4610};
    selection.deviceGiven = deviceGiven;
    selection.comInterface = s.COMInterface;
    selection.canBaudrate = s.CANBaudrate;
    checks += TargetDiagnosis::run(selection, TargetDiagnosis::Environment::current());

    if (options.isSet(QStringLiteral("json")))
        printOut(QString::fromUtf8(Diagnosis::toJson(checks)).trimmed());
    else
        printOut(Diagnosis::toText(checks));
    return Diagnosis::anyFailed(checks) ? ExitDoctorFailed : ExitSuccess;
}
