#include "base/BKGlobal.h"
#include "base/DiagnosisCheck.h"
#include "base/SettingsCheck.h"
#include "base/SettingsStore.h"
#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "cli/CliTransferSetup.h"
#include "comm/CanDiagnosis.h"
#include "comm/PortDiagnosis.h"
#include "transfer/TargetDiagnosis.h"
#include "transfer/TargetFiles.h"

namespace {

// The doctor's own status: 1 as soon as one check failed, like a usage error.
constexpr int ExitDoctorFailed = 1;

int canBitrate(int canBaudrateCode)
{
    return canBaudrateCode == 5 ? 125000 : canBaudrateCode == 6 ? 250000 : 500000;
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
    quint8 deviceType = Device46xx;
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
    checks += PortDiagnosis::run(QStringLiteral("COM%1").arg(portIndex + 1),
                                 SettingsStore::comPortDevicePath(portIndex),
                                 PortDiagnosis::Environment::current());

    const bool canInUse
        = deviceType == Device46xx && TargetFiles::usesCan(Device46xx, s.COMInterface);
    if (canInUse || options.isSet(QStringLiteral("can-bus"))) {
        checks += CanDiagnosis::run(SettingsStore::canBus(), canBitrate(s.CANBaudrate),
                                    CanDiagnosis::Environment::current());
    } else {
        checks.append(DiagnosisCheck::ok(QStringLiteral("can.use"),
                                         QStringLiteral("CAN: not in use (the interface is "
                                                        "RS-232)")));
    }

    TargetDiagnosis::Selection selection;
    selection.deviceTypes
        = deviceGiven ? QList<quint8> {deviceType} : QList<quint8> {Device46xx, Device4610};
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
