#include "comm/CanDiagnosis.h"

#include "comm/CanBusSetting.h"

#include <QCanBus>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QUrl>

namespace CanDiagnosis {

namespace {

constexpr int ArphrdCan = 280; // the link type of every CAN interface
constexpr quint16 VirtualBusDefaultPort = 35468; // Qt's virtual CAN bus server

QString readSysfs(const QString &root, const QString &interfaceName, const QString &attribute)
{
    QFile f(QDir(root).filePath(interfaceName + u'/' + attribute));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(f.readAll()).trimmed();
}

QStringList canInterfaces(const QString &root)
{
    QStringList found;
    const QStringList entries
        = QDir(root).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : entries) {
        if (readSysfs(root, name, QStringLiteral("type")).toInt() == ArphrdCan)
            found.append(name);
    }
    return found;
}

QString setUpCommand(const QString &iface, int bitrate)
{
    return QStringLiteral("sudo ip link set %1 down; sudo ip link set %1 type can bitrate %2 "
                          "restart-ms 100; sudo ip link set %1 up")
        .arg(iface)
        .arg(bitrate);
}

DiagnosisChecks socketCan(const QString &iface, int bitrate, const Environment &env)
{
    DiagnosisChecks out;
    const QString root = env.sysfsNetRoot;
    if (!QFileInfo::exists(QDir(root).filePath(iface))) {
        const QStringList present = canInterfaces(root);
        out.append(DiagnosisCheck::fail(
            QStringLiteral("can.interface"),
            QStringLiteral("CAN: there is no network interface %1").arg(iface),
            present.isEmpty()
                ? QStringLiteral("Plug in the CAN adapter and check that its driver is loaded "
                                 "(\"ip link\" lists can0 then); a test bus without hardware: "
                                 "sudo ip link add dev vcan0 type vcan && sudo ip link set vcan0 "
                                 "up, then CANBus=socketcan:vcan0.")
                : QStringLiteral("CAN interfaces present: %1. Set CANBus=socketcan:%2 in the "
                                 "settings or give --can-bus socketcan:%2.")
                      .arg(present.join(QStringLiteral(", ")), present.first())));
        return out;
    }
    if (readSysfs(root, iface, QStringLiteral("type")).toInt() != ArphrdCan) {
        out.append(DiagnosisCheck::fail(
            QStringLiteral("can.interface"),
            QStringLiteral("CAN: %1 is a network interface, but not a CAN one").arg(iface),
            QStringLiteral("Name the CAN interface in CANBus (\"ip -details link\" shows the "
                           "kind of each).")));
        return out;
    }
    bool flagsOk = false;
    const uint flags = readSysfs(root, iface, QStringLiteral("flags")).toUInt(&flagsOk, 16);
    const std::optional<CanLinkInfo> link = env.linkInfo ? env.linkInfo(iface) : std::nullopt;
    const bool isVirtual
        = link && (link->kind == QLatin1String("vcan") || link->kind == QLatin1String("vxcan"));
    const bool up = flagsOk ? (flags & 0x1) != 0 : (link && link->up);
    if (!up) {
        out.append(DiagnosisCheck::fail(
            QStringLiteral("can.up"), QStringLiteral("CAN: %1 is down").arg(iface),
            isVirtual ? QStringLiteral("sudo ip link set %1 up").arg(iface)
                      : setUpCommand(iface, bitrate)));
        return out;
    }
    out.append(DiagnosisCheck::ok(QStringLiteral("can.up"),
                                  QStringLiteral("CAN: %1 is present and up").arg(iface)));
    if (isVirtual) {
        out.append(DiagnosisCheck::ok(
            QStringLiteral("can.bitrate"),
            QStringLiteral("CAN: %1 is a virtual interface (%2): no bit rate, no controller")
                .arg(iface, link->kind)));
        return out;
    }
    if (!link || link->kind != QLatin1String("can")) {
        out.append(DiagnosisCheck::warn(
            QStringLiteral("can.bitrate"),
            QStringLiteral("CAN: the bit rate and controller state of %1 could not be read")
                .arg(iface),
            QStringLiteral("\"ip -details link show %1\" shows them; the bit rate must be %2.")
                .arg(iface)
                .arg(bitrate)));
        return out;
    }
    if (!link->bitrate || *link->bitrate == 0) {
        out.append(DiagnosisCheck::fail(QStringLiteral("can.bitrate"),
                                        QStringLiteral("CAN: %1 has no bit rate set").arg(iface),
                                        setUpCommand(iface, bitrate)));
    } else if (int(*link->bitrate) != bitrate) {
        out.append(DiagnosisCheck::fail(
            QStringLiteral("can.bitrate"),
            QStringLiteral("CAN: %1 runs at %2 bit/s, the transfers use %3 bit/s")
                .arg(iface)
                .arg(*link->bitrate)
                .arg(bitrate),
            setUpCommand(iface, bitrate)
                + QStringLiteral(" (or choose %1 kbit/s in the configuration dialog or with "
                                 "--can-bitrate, if the device runs at that rate)")
                      .arg(*link->bitrate / 1000)));
    } else {
        out.append(DiagnosisCheck::ok(
            QStringLiteral("can.bitrate"),
            QStringLiteral("CAN: %1 runs at %2 bit/s as configured").arg(iface).arg(bitrate)));
    }
    const int state = link->state.value_or(CanLinkInfo::ErrorActive);
    const QString stateText = CanLinkInfo::stateName(state);
    if (state == CanLinkInfo::ErrorActive) {
        out.append(DiagnosisCheck::ok(
            QStringLiteral("can.state"),
            QStringLiteral("CAN: the controller of %1 is %2").arg(iface, stateText)));
    } else if (state == CanLinkInfo::ErrorWarning || state == CanLinkInfo::ErrorPassive) {
        out.append(DiagnosisCheck::warn(
            QStringLiteral("can.state"),
            QStringLiteral("CAN: the controller of %1 is %2: it sees errors on the bus")
                .arg(iface, stateText),
            QStringLiteral("Check the wiring, the termination (120 ohm at both ends) and that "
                           "every node runs at %1 bit/s.")
                .arg(bitrate)));
    } else {
        out.append(DiagnosisCheck::fail(
            QStringLiteral("can.state"),
            QStringLiteral("CAN: the controller of %1 is %2").arg(iface, stateText),
            QStringLiteral("Check the wiring and termination, then restart it: sudo ip link set "
                           "%1 down; sudo ip link set %1 up")
                .arg(iface)));
    }
    if (link->restartMs && *link->restartMs == 0) {
        out.append(DiagnosisCheck::warn(
            QStringLiteral("can.restart"),
            QStringLiteral("CAN: %1 has no automatic restart (restart-ms 0): after a bus-off it "
                           "stays off until restarted by hand")
                .arg(iface),
            setUpCommand(iface, bitrate)));
    } else if (link->restartMs) {
        out.append(DiagnosisCheck::ok(QStringLiteral("can.restart"),
                                      QStringLiteral("CAN: %1 restarts %2 ms after a bus-off")
                                          .arg(iface)
                                          .arg(*link->restartMs)));
    }
    return out;
}

DiagnosisChecks virtualBus(const QString &iface, const Environment &env)
{
    DiagnosisChecks out;
    const QUrl url(iface);
    static const QRegularExpression channel(QStringLiteral("^can[01]$"));
    const QString device = url.isValid() && !url.scheme().isEmpty() ? url.fileName() : iface;
    if (!channel.match(device).hasMatch()) {
        out.append(DiagnosisCheck::fail(
            QStringLiteral("can.server"),
            QStringLiteral("CAN: \"%1\" names no channel of the virtual bus").arg(iface),
            QStringLiteral("Write CANBus=virtualcan:can0 (or virtualcan:tcp://HOST:PORT/can0).")));
        return out;
    }
    const QHostAddress address
        = url.host().isEmpty() ? QHostAddress(QHostAddress::LocalHost) : QHostAddress(url.host());
    if (address.isNull()) {
        out.append(DiagnosisCheck::fail(
            QStringLiteral("can.server"),
            QStringLiteral("CAN: the virtual bus host \"%1\" is not an IP address").arg(url.host()),
            QStringLiteral("Write the server's address as digits, e.g. "
                           "virtualcan:tcp://127.0.0.1:35468/can0.")));
        return out;
    }
    const quint16 port = quint16(url.port(VirtualBusDefaultPort));
    QTcpSocket socket;
    socket.connectToHost(address, port);
    const bool reachable = socket.waitForConnected(env.connectTimeoutMs);
    socket.abort();
    const QString where = QStringLiteral("%1:%2").arg(address.toString()).arg(port);
    if (!reachable) {
        out.append(DiagnosisCheck::fail(
            QStringLiteral("can.server"),
            QStringLiteral("CAN: no virtual bus server answers at %1%2")
                .arg(where,
                     address.isLoopback()
                         ? QStringLiteral(" (the tool would host an empty bus of its own)")
                         : QString()),
            QStringLiteral("Start the simulated device on that bus first: brasvik-sim --can "
                           "virtualcan:%1")
                .arg(iface)));
    } else {
        out.append(DiagnosisCheck::ok(
            QStringLiteral("can.server"),
            QStringLiteral("CAN: the virtual bus server at %1 answers").arg(where)));
    }
    return out;
}

} // namespace

Environment Environment::current()
{
    Environment env;
    env.plugins = QCanBus::instance()->plugins();
    env.linkInfo = [](const QString &name) {
        return CanLinkInfo::query(name);
    };
    return env;
}

DiagnosisChecks run(const QString &bus, int bitrate, const Environment &env)
{
    DiagnosisChecks out;
    const QString problem = CanBusFormatProblem(bus);
    if (!problem.isEmpty()) {
        out.append(DiagnosisCheck::fail(
            QStringLiteral("can.format"),
            QStringLiteral("CAN: CANBus = \"%1\" is not plugin:interface: %2").arg(bus, problem),
            QStringLiteral("Write CANBus=socketcan:can0 (or virtualcan:can0 for the simulated "
                           "device) in the settings, or give --can-bus.")));
        return out;
    }
    const qsizetype colon = bus.indexOf(u':');
    const QString plugin = bus.left(colon);
    const QString iface = bus.mid(colon + 1);
    if (!env.plugins.contains(plugin)) {
        out.append(DiagnosisCheck::fail(
            QStringLiteral("can.plugin"),
            QStringLiteral("CAN: Qt has no CAN plugin \"%1\"").arg(plugin),
            env.plugins.isEmpty()
                ? QStringLiteral("Install the package libqt6serialbus6, which brings the CAN "
                                 "plugins.")
                : QStringLiteral("Choose one of %1 in CANBus.")
                      .arg(env.plugins.join(QStringLiteral(", ")))));
        return out;
    }
    out.append(DiagnosisCheck::ok(QStringLiteral("can.plugin"),
                                  QStringLiteral("CAN: Qt's plugin \"%1\" is there").arg(plugin)));
    if (plugin == QLatin1String("socketcan"))
        out += socketCan(iface, bitrate, env);
    else if (plugin == QLatin1String("virtualcan"))
        out += virtualBus(iface, env);
    return out;
}

} // namespace CanDiagnosis
