#include "comm/CanBusSetting.h"
#include "comm/CanDiagnosis.h"
#include "comm/CanLinkInfo.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

using Verdict = DiagnosisCheck::Verdict;
Q_DECLARE_METATYPE(DiagnosisCheck::Verdict)
Q_DECLARE_METATYPE(CanLinkInfo)

// The CAN checks against a fake sysfs tree and injected link details (bit rate, controller
// state, restart delay), the virtual bus against a listening and a closed local port, and the
// rtnetlink reader against messages built byte by byte.
class tst_CanDiagnosis : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void busFormat_data();
    void busFormat();
    void socketCan_data();
    void socketCan();
    void pluginMissing();
    void virtualBus();
    void parseLinkMessage();
    void parseRejectsOtherMessages_data();
    void parseRejectsOtherMessages();
    void queryUnknownInterface();

private:
    CanDiagnosis::Environment environment() const;
    void addInterface(const QString &name, int type, const QString &flags);

    QTemporaryDir m_sysfs;
    QHash<QString, CanLinkInfo> m_links;
};

namespace {

const DiagnosisCheck *find(const DiagnosisChecks &checks, const QString &id)
{
    for (const DiagnosisCheck &c : checks) {
        if (c.id == id)
            return &c;
    }
    return nullptr;
}

CanLinkInfo controller(quint32 bitrate, int state, quint32 restartMs)
{
    CanLinkInfo info;
    info.kind = QStringLiteral("can");
    info.up = true;
    info.bitrate = bitrate;
    info.state = state;
    info.restartMs = restartMs;
    return info;
}

// rtnetlink attribute: header, payload, padding.
QByteArray attribute(quint16 type, const QByteArray &payload)
{
    rtattr header {};
    header.rta_len = quint16(RTA_LENGTH(payload.size()));
    header.rta_type = type;
    QByteArray out(reinterpret_cast<const char *>(&header), sizeof header);
    out += payload;
    out.append(QByteArray(int(RTA_ALIGN(out.size())) - out.size(), '\0'));
    return out;
}

QByteArray u32(quint32 v)
{
    return QByteArray(reinterpret_cast<const char *>(&v), 4);
}

QByteArray linkMessage(quint16 type, unsigned flags, const QByteArray &attributes)
{
    ifinfomsg ifi {};
    ifi.ifi_family = AF_UNSPEC;
    ifi.ifi_index = 5;
    ifi.ifi_flags = flags;
    QByteArray body(reinterpret_cast<const char *>(&ifi), sizeof ifi);
    body.append(QByteArray(int(NLMSG_ALIGN(body.size())) - body.size(), '\0'));
    body += attributes;
    nlmsghdr header {};
    header.nlmsg_len = quint32(NLMSG_HDRLEN + body.size());
    header.nlmsg_type = type;
    return QByteArray(reinterpret_cast<const char *>(&header), NLMSG_HDRLEN) + body;
}

} // namespace

void tst_CanDiagnosis::initTestCase()
{
    QVERIFY(m_sysfs.isValid());
    addInterface(QStringLiteral("can0"), 280, QStringLiteral("0x40081"));
    addInterface(QStringLiteral("can1"), 280, QStringLiteral("0x80"));
    addInterface(QStringLiteral("vcan0"), 280, QStringLiteral("0xc1"));
    addInterface(QStringLiteral("eth0"), 1, QStringLiteral("0x1003"));
    CanLinkInfo virtualLink;
    virtualLink.kind = QStringLiteral("vcan");
    virtualLink.up = true;
    m_links.insert(QStringLiteral("vcan0"), virtualLink);
}

void tst_CanDiagnosis::addInterface(const QString &name, int type, const QString &flags)
{
    const QDir dir(m_sysfs.path());
    QVERIFY(dir.mkpath(name));
    QFile t(dir.filePath(name + QStringLiteral("/type")));
    QVERIFY(t.open(QIODevice::WriteOnly));
    t.write(QByteArray::number(type) + '\n');
    QFile f(dir.filePath(name + QStringLiteral("/flags")));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(flags.toLatin1() + '\n');
}

CanDiagnosis::Environment tst_CanDiagnosis::environment() const
{
    CanDiagnosis::Environment env;
    env.sysfsNetRoot = m_sysfs.path();
    env.plugins = {QStringLiteral("socketcan"), QStringLiteral("virtualcan")};
    env.linkInfo = [links = m_links](const QString &name) -> std::optional<CanLinkInfo> {
        if (!links.contains(name))
            return std::nullopt;
        return links.value(name);
    };
    env.connectTimeoutMs = 2000;
    return env;
}

void tst_CanDiagnosis::busFormat_data()
{
    QTest::addColumn<QString>("bus");
    QTest::addColumn<QString>("problem");
    QTest::newRow("socketcan") << "socketcan:can0"
                               << "";
    QTest::newRow("virtual url") << "virtualcan:tcp://127.0.0.1:4000/can0"
                                 << "";
    QTest::newRow("empty") << ""
                           << "it is empty";
    QTest::newRow("no colon") << "can0"
                              << "no \":\"";
    QTest::newRow("no plugin") << ":can0"
                               << "plugin before";
    QTest::newRow("no interface") << "socketcan:"
                                  << "interface after";
    QTest::newRow("blank around") << " socketcan:can0"
                                  << "blanks";
    QTest::newRow("blank inside") << "socketcan:can 0"
                                  << "blanks";
    QTest::newRow("plugin not a name") << "peak-can:usb0"
                                       << "not a plain name";
}

void tst_CanDiagnosis::busFormat()
{
    QFETCH(QString, bus);
    QFETCH(QString, problem);
    const QString found = CanBusFormatProblem(bus);
    QCOMPARE(found.isEmpty(), problem.isEmpty());
    QVERIFY2(found.contains(problem), qPrintable(found));
    if (!problem.isEmpty()) {
        const DiagnosisChecks checks = CanDiagnosis::run(bus, 500000, environment());
        QCOMPARE(checks.size(), 1);
        QCOMPARE(checks.first().id, QStringLiteral("can.format"));
        QCOMPARE(checks.first().verdict, Verdict::Fail);
        QVERIFY(checks.first().hint.contains(QStringLiteral("socketcan:can0")));
    }
}

void tst_CanDiagnosis::socketCan_data()
{
    QTest::addColumn<QString>("iface");
    QTest::addColumn<int>("bitrate"); // the transfers' rate
    QTest::addColumn<bool>("withLink"); // netlink answers with `link`
    QTest::addColumn<CanLinkInfo>("link");
    QTest::addColumn<QString>("id");
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("hint");
    const CanLinkInfo good = controller(500000, CanLinkInfo::ErrorActive, 100);
    QTest::newRow("all well") << "can0" << 500000 << true << good << "can.state" << Verdict::Ok
                              << "is ERROR-ACTIVE"
                              << "";
    QTest::newRow("bit rate matches") << "can0" << 500000 << true << good << "can.bitrate"
                                      << Verdict::Ok << "runs at 500000 bit/s"
                                      << "";
    QTest::newRow("restart set") << "can0" << 500000 << true << good << "can.restart" << Verdict::Ok
                                 << "restarts 100 ms"
                                 << "";
    QTest::newRow("wrong bit rate")
        << "can0" << 250000 << true << good << "can.bitrate" << Verdict::Fail
        << "runs at 500000 bit/s, the transfers use 250000"
        << "sudo ip link set can0 type can bitrate 250000 restart-ms 100";
    QTest::newRow("no bit rate") << "can0" << 500000 << true
                                 << controller(0, CanLinkInfo::ErrorActive, 100) << "can.bitrate"
                                 << Verdict::Fail << "no bit rate set"
                                 << "bitrate 500000";
    QTest::newRow("error passive")
        << "can0" << 500000 << true << controller(500000, CanLinkInfo::ErrorPassive, 100)
        << "can.state" << Verdict::Warn << "ERROR-PASSIVE"
        << "termination";
    QTest::newRow("error warning")
        << "can0" << 500000 << true << controller(500000, CanLinkInfo::ErrorWarning, 100)
        << "can.state" << Verdict::Warn << "ERROR-WARNING"
        << "termination";
    QTest::newRow("bus-off") << "can0" << 500000 << true
                             << controller(500000, CanLinkInfo::BusOff, 100) << "can.state"
                             << Verdict::Fail << "BUS-OFF"
                             << "restart it";
    QTest::newRow("no automatic restart")
        << "can0" << 500000 << true << controller(500000, CanLinkInfo::ErrorActive, 0)
        << "can.restart" << Verdict::Warn << "restart-ms 0"
        << "restart-ms 100";
    QTest::newRow("details unreadable") << "can0" << 500000 << false << CanLinkInfo()
                                        << "can.bitrate" << Verdict::Warn << "could not be read"
                                        << "ip -details link show can0";
    QTest::newRow("down") << "can1" << 125000 << true << good << "can.up" << Verdict::Fail
                          << "can1 is down"
                          << "type can bitrate 125000";
    QTest::newRow("missing") << "can7" << 500000 << false << CanLinkInfo() << "can.interface"
                             << Verdict::Fail << "no network interface can7"
                             << "CAN interfaces present: can0, can1, vcan0";
    QTest::newRow("not a CAN interface") << "eth0" << 500000 << false << CanLinkInfo()
                                         << "can.interface" << Verdict::Fail << "not a CAN one"
                                         << "ip -details link";
    QTest::newRow("virtual interface") << "vcan0" << 500000 << false << CanLinkInfo()
                                       << "can.bitrate" << Verdict::Ok << "virtual interface (vcan)"
                                       << "";
}

void tst_CanDiagnosis::socketCan()
{
    QFETCH(QString, iface);
    QFETCH(int, bitrate);
    QFETCH(bool, withLink);
    QFETCH(CanLinkInfo, link);
    QFETCH(QString, id);
    QFETCH(Verdict, verdict);
    QFETCH(QString, text);
    QFETCH(QString, hint);
    if (withLink)
        m_links.insert(iface, link);
    const DiagnosisChecks checks
        = CanDiagnosis::run(QStringLiteral("socketcan:") + iface, bitrate, environment());
    if (withLink)
        m_links.remove(iface);
    const DiagnosisCheck *c = find(checks, id);
    QVERIFY2(c, qPrintable(id));
    QCOMPARE(c->verdict, verdict);
    QVERIFY2(c->text.contains(text), qPrintable(c->text));
    QVERIFY2(c->hint.contains(hint), qPrintable(c->hint));
    QCOMPARE(find(checks, QStringLiteral("can.plugin"))->verdict, Verdict::Ok);
}

void tst_CanDiagnosis::pluginMissing()
{
    const DiagnosisChecks checks
        = CanDiagnosis::run(QStringLiteral("peakcan:usb0"), 500000, environment());
    QCOMPARE(checks.size(), 1);
    QCOMPARE(checks.first().verdict, Verdict::Fail);
    QCOMPARE(checks.first().hint, QStringLiteral("Choose one of socketcan, virtualcan in CANBus."));

    CanDiagnosis::Environment none = environment();
    none.plugins.clear();
    QVERIFY(CanDiagnosis::run(QStringLiteral("socketcan:can0"), 500000, none)
                .first()
                .hint.contains(QStringLiteral("libqt6serialbus6")));
    // The real Qt installation offers the two plugins the tool and its tests use.
    const QStringList real = CanDiagnosis::Environment::current().plugins;
    QVERIFY(real.contains(QStringLiteral("socketcan")));
    QVERIFY(real.contains(QStringLiteral("virtualcan")));
}

void tst_CanDiagnosis::virtualBus()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const QString bus
        = QStringLiteral("virtualcan:tcp://127.0.0.1:%1/can0").arg(server.serverPort());
    const DiagnosisChecks reachable = CanDiagnosis::run(bus, 500000, environment());
    const DiagnosisCheck *up = find(reachable, QStringLiteral("can.server"));
    QVERIFY(up);
    QCOMPARE(up->verdict, Verdict::Ok);

    const quint16 port = server.serverPort();
    server.close();
    const DiagnosisChecks closed = CanDiagnosis::run(
        QStringLiteral("virtualcan:tcp://127.0.0.1:%1/can1").arg(port), 500000, environment());
    const DiagnosisCheck *down = find(closed, QStringLiteral("can.server"));
    QVERIFY(down);
    QCOMPARE(down->verdict, Verdict::Fail);
    QVERIFY2(down->text.contains(QStringLiteral("an empty bus of its own")),
             qPrintable(down->text));
    QVERIFY2(down->hint.contains(QStringLiteral("brasvik-sim --can virtualcan:")),
             qPrintable(down->hint));

    for (const QString &wrong : {QStringLiteral("virtualcan:can5"),
                                 QStringLiteral("virtualcan:tcp://localhost:4000/can0")}) {
        const DiagnosisChecks checks = CanDiagnosis::run(wrong, 500000, environment());
        const DiagnosisCheck *c = find(checks, QStringLiteral("can.server"));
        QVERIFY(c);
        QCOMPARE(c->verdict, Verdict::Fail);
    }
}

void tst_CanDiagnosis::parseLinkMessage()
{
    QByteArray timing(sizeof(can_bittiming), '\0');
    can_bittiming bt {};
    bt.bitrate = 250000;
    bt.sample_point = 875;
    std::memcpy(timing.data(), &bt, sizeof bt);
    const QByteArray canData = attribute(IFLA_CAN_BITTIMING, timing)
        + attribute(IFLA_CAN_STATE, u32(CAN_STATE_ERROR_PASSIVE))
        + attribute(IFLA_CAN_RESTART_MS, u32(0));
    const QByteArray linkInfo = attribute(IFLA_INFO_KIND, QByteArray("can", 4))
        + attribute(IFLA_INFO_DATA | NLA_F_NESTED, canData);
    const QByteArray message
        = linkMessage(RTM_NEWLINK, IFF_UP | IFF_RUNNING,
                      attribute(IFLA_IFNAME, QByteArray("can0", 5)) + attribute(IFLA_MTU, u32(16))
                          + attribute(IFLA_LINKINFO | NLA_F_NESTED, linkInfo));

    const std::optional<CanLinkInfo> info = CanLinkInfo::parse(message);
    QVERIFY(info);
    QCOMPARE(info->kind, QStringLiteral("can"));
    QVERIFY(info->up);
    QCOMPARE(info->bitrate.value_or(0), 250000u);
    QCOMPARE(info->state.value_or(-1), int(CanLinkInfo::ErrorPassive));
    QCOMPARE(info->restartMs.value_or(99), 0u);

    // A virtual interface: kind only, nothing of a controller.
    const std::optional<CanLinkInfo> vcan = CanLinkInfo::parse(
        linkMessage(RTM_NEWLINK, 0,
                    attribute(IFLA_LINKINFO, attribute(IFLA_INFO_KIND, QByteArray("vcan", 5)))));
    QVERIFY(vcan);
    QCOMPARE(vcan->kind, QStringLiteral("vcan"));
    QVERIFY(!vcan->up);
    QVERIFY(!vcan->bitrate);

    // Cut anywhere inside the attributes, the message still parses without reading past its end.
    for (int cut = NLMSG_LENGTH(sizeof(ifinfomsg)); cut < message.size(); cut += 3) {
        QByteArray shortened = message.left(cut);
        nlmsghdr header;
        std::memcpy(&header, shortened.constData(), sizeof header);
        header.nlmsg_len = quint32(cut);
        std::memcpy(shortened.data(), &header, sizeof header);
        QVERIFY(CanLinkInfo::parse(shortened));
    }
}

void tst_CanDiagnosis::parseRejectsOtherMessages_data()
{
    QTest::addColumn<QByteArray>("message");
    const QByteArray good = linkMessage(RTM_NEWLINK, 0, {});
    QTest::newRow("error message") << linkMessage(NLMSG_ERROR, 0, {});
    QTest::newRow("too short") << good.left(good.size() - 1);
    QByteArray lying = good;
    nlmsghdr header;
    std::memcpy(&header, lying.constData(), sizeof header);
    header.nlmsg_len = quint32(good.size() + 40);
    std::memcpy(lying.data(), &header, sizeof header);
    QTest::newRow("length beyond the data") << lying;
    QTest::newRow("empty") << QByteArray();
}

void tst_CanDiagnosis::parseRejectsOtherMessages()
{
    QFETCH(QByteArray, message);
    QVERIFY(!CanLinkInfo::parse(message));
}

void tst_CanDiagnosis::queryUnknownInterface()
{
    QVERIFY(!CanLinkInfo::query(QStringLiteral("nosuchcan9")));
    // The loopback interface answers without root; it is no CAN link.
    const std::optional<CanLinkInfo> lo = CanLinkInfo::query(QStringLiteral("lo"));
    if (!lo)
        QSKIP("rtnetlink is not available here");
    QVERIFY(lo->kind.isEmpty());
    QVERIFY(!lo->bitrate);
}

QTEST_GUILESS_MAIN(tst_CanDiagnosis)
#include "tst_candiagnosis.moc"
