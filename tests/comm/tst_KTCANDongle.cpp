#include "comm/CanBusLibrary.h"
#include "comm/CanBusSetting.h"
#include "comm/CanFrameMapping.h"
#include "comm/KTCANDongle.h"
#include "support/FakeCanBusDevice.h"
#include "support/VirtualCanPeer.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QMutex>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <memory>

namespace {

struct Received
{
    QList<TCANMsg> messages;
    QList<quint32> errors;
    QList<QThread *> threads;
};

std::unique_ptr<TBKCANThread> makeThread(Received *rec)
{
    return std::make_unique<TBKCANThread>(
        [rec](TBKCANThread *, const TCANMsg &msg) {
            rec->messages.append(msg);
            rec->threads.append(QThread::currentThread());
        },
        [rec](TBKCANThread *, quint32 code) {
            rec->errors.append(code);
            rec->threads.append(QThread::currentThread());
        });
}

// The bus of the test's peer.
QString peerBus;
const QString fakeBus = QStringLiteral("fake:can0");

quint32 openDefault(TBKCANThread &thread, bool sync = true, const QString &bus = peerBus)
{
    return thread.OpenDongle(bus, false, 7, false, 11, 3, sync);
}

// The bus server learns of a new client only when this thread's event loop runs: a frame from
// the dongle arriving at the peer shows that the peer's frames will reach the dongle too.
bool syncWithPeer(TBKCANThread &thread, VirtualCanPeer &peer)
{
    TCANMsg ping;
    ping.ID = 0x7FF;
    if (thread.WriteMessage(ping) != 0)
        return false;
    const bool ok = QTest::qWaitFor([&] {
        for (const QCanBusFrame &f : peer.take()) {
            if (f.frameId() == 0x7FF)
                return true;
        }
        return false;
    });
    return ok;
}

// The library makes fake devices from now on, each one following this script.
std::shared_ptr<FakeCanBusScript> useFakeBus(CanDongleLibrary &library)
{
    auto script = std::make_shared<FakeCanBusScript>();
    library.Inside().setDeviceFactory(
        [script](const QString &, const QString &, QString *) -> std::unique_ptr<QCanBusDevice> {
            return std::make_unique<FakeCanBusDevice>(script);
        });
    return script;
}

// A SocketCAN error frame: the class bits and the eight data bytes of the kernel's layout.
QCanBusFrame errorFrame(QCanBusFrame::FrameErrors errors, const QByteArray &data)
{
    QCanBusFrame frame(QCanBusFrame::ErrorFrame);
    frame.setError(errors);
    frame.setPayload(data.leftJustified(8, '\0'));
    return frame;
}

void addErrorFrameRows()
{
    QTest::addColumn<QCanBusFrame>("frame");
    QTest::addColumn<int>("status"); // 0: not reported
    // Byte 1 holds the controller's state, byte 2 the kind of protocol violation.
    QTest::newRow("bus off") << errorFrame(QCanBusFrame::BusOffError, {}) << 0x10;
    QTest::newRow("rx warning") << errorFrame(QCanBusFrame::ControllerError,
                                              QByteArray::fromHex("0004"))
                                << 4;
    QTest::newRow("tx warning") << errorFrame(QCanBusFrame::ControllerError,
                                              QByteArray::fromHex("0008"))
                                << 4;
    QTest::newRow("rx passive") << errorFrame(QCanBusFrame::ControllerError,
                                              QByteArray::fromHex("0010"))
                                << 8;
    QTest::newRow("tx passive") << errorFrame(QCanBusFrame::ControllerError,
                                              QByteArray::fromHex("0020"))
                                << 8;
    QTest::newRow("passive over warning")
        << errorFrame(QCanBusFrame::ControllerError, QByteArray::fromHex("0024")) << 8;
    QTest::newRow("rx overflow") << errorFrame(QCanBusFrame::ControllerError,
                                               QByteArray::fromHex("0001"))
                                 << 2;
    QTest::newRow("tx overflow") << errorFrame(QCanBusFrame::ControllerError,
                                               QByteArray::fromHex("0002"))
                                 << 2;
    QTest::newRow("back to error-active")
        << errorFrame(QCanBusFrame::ControllerError, QByteArray::fromHex("0040")) << 0;
    QTest::newRow("controller, unspecified") << errorFrame(QCanBusFrame::ControllerError, {}) << 0;
    QTest::newRow("lost arbitration")
        << errorFrame(QCanBusFrame::LostArbitrationError, QByteArray::fromHex("05")) << 0;
    QTest::newRow("stuff error") << errorFrame(QCanBusFrame::ProtocolViolationError
                                                   | QCanBusFrame::BusError,
                                               QByteArray::fromHex("000004"))
                                 << 0;
    QTest::newRow("form error") << errorFrame(QCanBusFrame::ProtocolViolationError
                                                  | QCanBusFrame::BusError,
                                              QByteArray::fromHex("000002"))
                                << 0;
    QTest::newRow("no acknowledgement")
        << errorFrame(QCanBusFrame::MissingAcknowledgmentError | QCanBusFrame::BusError, {}) << 0;
    QTest::newRow("restarted") << errorFrame(QCanBusFrame::ControllerRestartError, {}) << 0;
    QTest::newRow("transceiver") << errorFrame(QCanBusFrame::TransceiverError,
                                               QByteArray::fromHex("0000000004"))
                                 << 0;
    QTest::newRow("transmit time-out")
        << errorFrame(QCanBusFrame::TransmissionTimeoutError, {}) << 0;
}

TCANMsg message(quint32 id, QByteArray data, quint8 type = MSGTYPE_STANDARD)
{
    TCANMsg msg;
    msg.ID = id;
    msg.MsgType = type;
    msg.Len = quint8(data.size());
    std::copy(data.begin(), data.end(), msg.Data);
    return msg;
}

} // namespace

class tst_KTCANDongle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void errorTexts_data();
    void errorTexts();
    void configurationTables();
    void frameMapping();
    void writeBeforeOpen();
    void openRefusals_data();
    void openRefusals();
    void deliversInOrderOnOwnerThread();
    void writeReachesTheBus();
    void statusAndReadErrors_data();
    void statusAndReadErrors();
    void openCloseReopen();
    void stopDuringDelivery();
    void destroyWhileHandOverPending();
    void deliveryOnReceiveThreadWithoutSync();
    void errorFrameMapping_data();
    void errorFrameMapping();
    void errorFramesThroughTheLibrary_data();
    void errorFramesThroughTheLibrary();
    void slowInitDoesNotSwallowClose_data();
    void slowInitDoesNotSwallowClose();
    void writesKeepTheirOrder();
    void twoLibrariesTwoBuses();
    void ownerThreadOfItsOwn();
    void closeInHandlerDropsTheRest_data();
    void closeInHandlerDropsTheRest();
    void busSettingProblems_data();
    void busSettingProblems();
    void busSettingAgainstPlugins();
    void virtualBusChatterFiltered();

private:
    std::unique_ptr<VirtualCanPeer> m_peer;
};

void tst_KTCANDongle::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("qt.canbus*=false"));
    m_peer = std::make_unique<VirtualCanPeer>();
    QVERIFY(m_peer->isConnected());
    peerBus = m_peer->busSetting();
}

void tst_KTCANDongle::cleanup()
{
    QTest::qWait(5);
    m_peer->take();
}

void tst_KTCANDongle::errorTexts_data()
{
    QTest::addColumn<quint32>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0u << "No error";
    QTest::newRow("bus off") << 0x10u << "Bus off";
    QTest::newRow("queue empty") << 0x20u << "Receive queue empty";
    QTest::newRow("queue overrun") << 0x40u << "Receive queue overrun";
    QTest::newRow("driver") << 0x200u << "No VXD/SYS driver";
    QTest::newRow("illegal hardware") << 0x1400u << "Illegal hardware handle";
    QTest::newRow("client") << 0x1C00u << "Illegal client handle";
    QTest::newRow("param value") << 0x8000u << "Parameter value invalid";
    QTest::newRow("combined bits") << 0x401u << "Unknown error";
    QTest::newRow("empty plus overrun") << 0x60u << "Unknown error";
    QTest::newRow("status fallback") << 0xFFFFu << "Unknown error";
}

void tst_KTCANDongle::errorTexts()
{
    QFETCH(quint32, code);
    QFETCH(QString, text);
    QCOMPARE(CANErrorText(code), text);
}

void tst_KTCANDongle::configurationTables()
{
    QCOMPARE(CANBusTimingForCode(0), quint16(0x7F7F));
    QCOMPARE(CANBusTimingForCode(5), quint16(0x031C));
    QCOMPARE(CANBusTimingForCode(7), quint16(0x001C));
    QCOMPARE(CANBusTimingForCode(8), quint16(0x0014));
    QCOMPARE(CANBusTimingForCode(9), quint16(0x7F7F));
    QCOMPARE(CANBitrateFromBTR0BTR1(CANBusTimingForCode(5)), 125000);
    QCOMPARE(CANBitrateFromBTR0BTR1(CANBusTimingForCode(6)), 250000);
    QCOMPARE(CANBitrateFromBTR0BTR1(CANBusTimingForCode(7)), 500000);
    QCOMPARE(CANBitrateFromBTR0BTR1(0x1234), 0);
    // The third entry is the 0140h the configuration dialog lists.
    QCOMPARE(CANIOAddressForIndex(2), 0x140u);
    QCOMPARE(CANIOAddressForIndex(0), 0x100u);
    QCOMPARE(CANIOAddressForIndex(11), 0x378u);
    QCOMPARE(CANIOAddressForIndex(14), 0x3F8u);
    QCOMPARE(CANIOAddressForIndex(15), 0x100u);
    QCOMPARE(CANInterruptForIndex(0), quint16(3));
    QCOMPARE(CANInterruptForIndex(3), quint16(7));
    QCOMPARE(CANInterruptForIndex(8), quint16(15));
    QCOMPARE(CANInterruptForIndex(9), quint16(3));
}

void tst_KTCANDongle::frameMapping()
{
    const TCANMsg ext = message(0x1ABCDEF0, "\x01\x02", MSGTYPE_EXTENDED);
    const QCanBusFrame frame = CanFrameMapping::toFrame(ext);
    QVERIFY(frame.hasExtendedFrameFormat());
    QCOMPARE(frame.frameId(), 0x1ABCDEF0u);
    QCOMPARE(frame.payload(), QByteArray("\x01\x02"));
    TCANMsg back;
    QVERIFY(CanFrameMapping::fromFrame(frame, &back));
    QCOMPARE(back.MsgType, quint8(MSGTYPE_EXTENDED));
    QCOMPARE(back.Len, quint8(2));

    TCANMsg tooLong = message(0x63F, "12345678");
    tooLong.Len = 12;
    QCOMPARE(CanFrameMapping::toFrame(tooLong).payload().size(), 8);

    QCanBusFrame busOff(QCanBusFrame::ErrorFrame);
    busOff.setError(QCanBusFrame::BusOffError);
    QVERIFY(CanFrameMapping::fromFrame(busOff, &back));
    QCOMPARE(back.MsgType, quint8(MSGTYPE_STATUS));
    QCOMPARE(back.Data[3], quint8(0x10));
    QCanBusFrame passive(QCanBusFrame::ErrorFrame);
    passive.setError(QCanBusFrame::ControllerError);
    passive.setPayload(QByteArray("\x00\x10\x00\x00\x00\x00\x00\x00", 8));
    QCOMPARE(CanFrameMapping::statusCodeForErrorFrame(passive), quint8(8));
    passive.setPayload(QByteArray("\x00\x01\x00\x00\x00\x00\x00\x00", 8));
    QCOMPARE(CanFrameMapping::statusCodeForErrorFrame(passive), quint8(2));
}

void tst_KTCANDongle::writeBeforeOpen()
{
    Received rec;
    auto thread = makeThread(&rec);
    QCOMPARE(thread->WriteMessage(message(0x63F, "\x01")), 0x1400u);
    QVERIFY(openDefault(*thread, true, QStringLiteral("nosuchplugin:can0")) != 0);
    QCOMPARE(thread->WriteMessage(message(0x63F, "\x01")), 0x1400u);
    QTest::qWait(20);
    QVERIFY(m_peer->take().isEmpty());
}

void tst_KTCANDongle::openRefusals_data()
{
    QTest::addColumn<QString>("bus");
    QTest::addColumn<quint32>("code");
    QTest::newRow("unknown plugin") << "nosuchplugin:can0" << 0x200u;
    QTest::newRow("no interface part") << "virtualcan" << 0x8000u;
    QTest::newRow("no plugin part") << ":can0" << 0x8000u;
}

void tst_KTCANDongle::openRefusals()
{
    QFETCH(QString, bus);
    QFETCH(quint32, code);
    Received rec;
    auto thread = makeThread(&rec);
    QCOMPARE(openDefault(*thread, true, bus), code);
    QVERIFY(!thread->DongleOpen());
}

void tst_KTCANDongle::deliversInOrderOnOwnerThread()
{
    Received rec;
    auto thread = makeThread(&rec);
    QCOMPARE(openDefault(*thread), 0u);
    QVERIFY(syncWithPeer(*thread, *m_peer));
    QVERIFY(thread->DongleOpen());
    constexpr int count = 200;
    for (int i = 0; i < count; ++i)
        QVERIFY(m_peer->send(QCanBusFrame(0x5BF, QByteArray(1, char(i)) + "abc")));
    QVERIFY(QTest::qWaitFor([&] { return rec.messages.size() == count; }, 5000));
    for (int i = 0; i < count; ++i) {
        QCOMPARE(rec.messages[i].ID, 0x5BFu);
        QCOMPARE(rec.messages[i].Len, quint8(4));
        QCOMPARE(rec.messages[i].Data[0], quint8(i));
    }
    for (QThread *t : rec.threads)
        QCOMPARE(t, QThread::currentThread());
    QVERIFY(rec.errors.isEmpty());
}

void tst_KTCANDongle::writeReachesTheBus()
{
    Received rec;
    auto thread = makeThread(&rec);
    QCOMPARE(openDefault(*thread), 0u);
    QCOMPARE(thread->WriteMessage(message(0x63F, "\xAA\x55")), 0u);
    QCOMPARE(thread->WriteMessage(message(0x1234567, "\x01", MSGTYPE_EXTENDED)), 0u);
    QList<QCanBusFrame> frames;
    QVERIFY(QTest::qWaitFor([&] {
        frames += m_peer->take();
        return frames.size() == 2;
    }));
    QCOMPARE(frames[0].frameId(), 0x63Fu);
    QVERIFY(!frames[0].hasExtendedFrameFormat());
    QCOMPARE(frames[0].payload(), QByteArray("\xAA\x55"));
    QCOMPARE(frames[1].frameId(), 0x1234567u);
    QVERIFY(frames[1].hasExtendedFrameFormat());
}

void tst_KTCANDongle::statusAndReadErrors_data()
{
    QTest::addColumn<int>("kind"); // 0 status message, 1 read result, 2 message type
    QTest::addColumn<quint32>("value");
    QTest::addColumn<qint64>("expectedError"); // -1: delivered to OnResult
    QTest::newRow("status bus off") << 0 << 0x10u << qint64(0x10);
    QTest::newRow("status overrun") << 0 << 0x02u << qint64(0x02);
    QTest::newRow("status heavy") << 0 << 0x08u << qint64(0x08);
    QTest::newRow("status unknown byte") << 0 << 0x01u << qint64(0xFFFF);
    QTest::newRow("read empty plus overrun") << 1 << 0x60u << qint64(0x40);
    QTest::newRow("read illegal hardware") << 1 << 0x1400u << qint64(0x1400);
    QTest::newRow("type rtr") << 2 << 0x01u << qint64(-1);
    QTest::newRow("type extended") << 2 << 0x02u << qint64(-1);
}

void tst_KTCANDongle::statusAndReadErrors()
{
    QFETCH(int, kind);
    QFETCH(quint32, value);
    QFETCH(qint64, expectedError);
    Received rec;
    auto thread = makeThread(&rec);
    QCOMPARE(openDefault(*thread), 0u);
    CanBusLibrary &library = thread->Library().Inside();
    if (kind == 0)
        library.push(CanFrameMapping::statusMessage(quint8(value)));
    else if (kind == 1)
        library.injectReadResult(value);
    else
        library.push(message(0x5BF, "\x01", quint8(value)));
    QVERIFY(QTest::qWaitFor([&] { return rec.errors.size() + rec.messages.size() == 1; }));
    if (expectedError < 0) {
        QCOMPARE(rec.messages.first().MsgType, quint8(value));
    } else {
        QCOMPARE(rec.errors.first(), quint32(expectedError));
        QCOMPARE(thread->ErrorCode(), quint32(expectedError));
    }
    // A plain empty queue is no error.
    library.injectReadResult(0x20);
    QTest::qWait(30);
    QCOMPARE(rec.errors.size() + rec.messages.size(), 1);
}

void tst_KTCANDongle::openCloseReopen()
{
    Received rec;
    auto thread = makeThread(&rec);
    QCOMPARE(openDefault(*thread), 0u);
    QCOMPARE(openDefault(*thread), 0u); // closes first
    thread->CloseDongle();
    thread->CloseDongle();
    QVERIFY(!thread->DongleOpen());
    QCOMPARE(thread->WriteMessage(message(0x63F, "\x01")), 0x1400u);
    QVERIFY(m_peer->send(QCanBusFrame(0x5BF, "x")));
    QTest::qWait(50);
    QVERIFY(rec.messages.isEmpty());
    QVERIFY(rec.errors.isEmpty());
    QCOMPARE(openDefault(*thread), 0u);
    QVERIFY(syncWithPeer(*thread, *m_peer));
    QVERIFY(m_peer->send(QCanBusFrame(0x5BF, "y")));
    QVERIFY(QTest::qWaitFor([&] { return rec.messages.size() == 1; }));
    QCOMPARE(rec.messages.first().Data[0], quint8('y'));
    QCOMPARE(thread->Library().Close(), 0u);
    QCOMPARE(thread->Library().Close(), 0u);
}

void tst_KTCANDongle::stopDuringDelivery()
{
    std::unique_ptr<TBKCANThread> thread;
    int calls = 0;
    quint8 seen = 0;
    thread = std::make_unique<TBKCANThread>(
        [&](TBKCANThread *sender, const TCANMsg &msg) {
            ++calls;
            QCOMPARE(sender, thread.get());
            thread.reset(); // the window ends the transfer from inside the handler
            seen = msg.Data[0]; // the delivery copy stays valid for the whole call
        },
        [](TBKCANThread *, quint32) {});
    QCOMPARE(openDefault(*thread), 0u);
    QVERIFY(syncWithPeer(*thread, *m_peer));
    QVERIFY(m_peer->send(QCanBusFrame(0x5BF, QByteArray("\x07", 1))));
    QVERIFY(m_peer->send(QCanBusFrame(0x5BF, QByteArray("\x08", 1))));
    QVERIFY(QTest::qWaitFor([&] { return calls == 1; }));
    QTest::qWait(50);
    QCOMPARE(calls, 1);
    QCOMPARE(seen, quint8(7));
    QVERIFY(!thread);
}

void tst_KTCANDongle::destroyWhileHandOverPending()
{
    Received rec;
    auto thread = makeThread(&rec);
    QCOMPARE(openDefault(*thread), 0u);
    thread->Library().Inside().push(message(0x5BF, "\x01"));
    QThread::msleep(50); // the receive thread now waits for this one
    thread->Terminate();
    QVERIFY(thread->Terminated());
    QElapsedTimer timer;
    timer.start();
    thread.reset();
    QVERIFY(timer.elapsed() < 1000);
    QCoreApplication::processEvents();
    QVERIFY(rec.messages.isEmpty());
}

void tst_KTCANDongle::deliveryOnReceiveThreadWithoutSync()
{
    std::atomic<QThread *> where {nullptr};
    std::atomic<int> calls {0};
    auto thread = std::make_unique<TBKCANThread>(
        [&](TBKCANThread *, const TCANMsg &) {
            where = QThread::currentThread();
            ++calls;
        },
        nullptr);
    QCOMPARE(openDefault(*thread, false), 0u);
    QVERIFY(syncWithPeer(*thread, *m_peer));
    QVERIFY(m_peer->send(QCanBusFrame(0x5BF, "z")));
    QVERIFY(QTest::qWaitFor([&] { return calls == 1; }));
    QVERIFY(where != QThread::currentThread());
}

void tst_KTCANDongle::errorFrameMapping_data()
{
    addErrorFrameRows();
}

void tst_KTCANDongle::errorFrameMapping()
{
    QFETCH(QCanBusFrame, frame);
    QFETCH(int, status);
    QCOMPARE(int(CanFrameMapping::statusCodeForErrorFrame(frame)), status);
    TCANMsg msg;
    QCOMPARE(CanFrameMapping::fromFrame(frame, &msg), status != 0);
    if (status)
        QCOMPARE(int(msg.Data[3]), status);
}

void tst_KTCANDongle::errorFramesThroughTheLibrary_data()
{
    addErrorFrameRows();
}

// What the dongle reports ends a transfer through OnError; the bus's passing troubles do not.
void tst_KTCANDongle::errorFramesThroughTheLibrary()
{
    QFETCH(QCanBusFrame, frame);
    QFETCH(int, status);
    Received rec;
    auto thread = makeThread(&rec);
    auto script = useFakeBus(thread->Library());
    // The data frame behind it shows that the error frame has been dealt with.
    script->framesAfterConnect = {frame, QCanBusFrame(0x5BF, "after")};
    QCOMPARE(openDefault(*thread, true, fakeBus), 0u);
    QVERIFY(QTest::qWaitFor([&] { return rec.messages.size() == 1; }));
    QCOMPARE(rec.messages.first().ID, 0x5BFu);
    if (status) {
        QCOMPARE(rec.errors, QList<quint32>({quint32(status)}));
    } else {
        QVERIFY(rec.errors.isEmpty());
    }
}

void tst_KTCANDongle::slowInitDoesNotSwallowClose_data()
{
    QTest::addColumn<bool>("closeFollows");
    QTest::newRow("close follows") << true;
    QTest::newRow("nothing follows") << false;
}

// An opening that outlasts its caller's wait fails for the caller; the bus must not stay
// connected behind its back, and a close made meanwhile must run.
void tst_KTCANDongle::slowInitDoesNotSwallowClose()
{
    QFETCH(bool, closeFollows);
    CanDongleLibrary library;
    auto script = useFakeBus(library);
    script->connectDelayMs = 400;
    library.Inside().setRequestTimeout(100);
    QCOMPARE(library.Init(fakeBus, CANBusTimingForCode(7), 0, HW_DONGLE_SJA, 0x378, 7), 0x2000u);
    if (closeFollows)
        QCOMPARE(library.Close(), 0u);
    QVERIFY(QTest::qWaitFor([&] { return script->opened == 1 && script->closed == 1; }, 3000));
    QTest::qWait(50);
    QCOMPARE(script->closed.load(), 1);
    QVERIFY(!library.Inside().isOpen());
    const TCANMsg probe = message(0x63F, "\x01");
    QCOMPARE(library.Write(&probe), 0x1400u);

    // The library is usable again at once.
    library.Inside().setRequestTimeout(10000);
    script->connectDelayMs = 0;
    QCOMPARE(library.Init(fakeBus, CANBusTimingForCode(7), 0, HW_DONGLE_SJA, 0x378, 7), 0u);
    QCOMPARE(script->opened.load(), 2);
    QVERIFY(library.Inside().isOpen());
}

// Writes are queued and return at once; the bus gets them in the order they were made.
void tst_KTCANDongle::writesKeepTheirOrder()
{
    Received rec;
    auto thread = makeThread(&rec);
    QCOMPARE(openDefault(*thread), 0u);
    constexpr int count = 300;
    for (int i = 0; i < count; ++i)
        QCOMPARE(thread->WriteMessage(message(0x63F, QByteArray(1, char(i)) + "w")), 0u);
    QList<QCanBusFrame> frames;
    QVERIFY(QTest::qWaitFor(
        [&] {
            frames += m_peer->take();
            return frames.size() >= count;
        },
        5000));
    QCOMPARE(frames.size(), count);
    for (int i = 0; i < count; ++i)
        QCOMPARE(quint8(frames[i].payload().at(0)), quint8(i));
    // Closed, the dongle takes nothing more.
    thread->CloseDongle();
    const TCANMsg probe = message(0x63F, "\x01");
    QCOMPARE(thread->Library().Write(&probe), 0x1400u);
}

// Two links at once, each on a bus of its own: every library carries its own traffic only, both
// ways, and closing one leaves the other open.
void tst_KTCANDongle::twoLibrariesTwoBuses()
{
    VirtualCanPeer other(m_peer->port(), 1);
    QVERIFY(other.isConnected());
    VirtualCanPeer *peers[] = {m_peer.get(), &other};
    Received rec[2];
    const std::unique_ptr<TBKCANThread> threads[] = {makeThread(&rec[0]), makeThread(&rec[1])};
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(openDefault(*threads[i], true, peers[i]->busSetting()), 0u);
        QVERIFY(syncWithPeer(*threads[i], *peers[i]));
    }
    constexpr int count = 50;
    for (int n = 0; n < count; ++n) {
        for (int i = 0; i < 2; ++i) {
            QVERIFY(peers[i]->send(QCanBusFrame(0x5BF, QByteArray(1, char(n)) + char('a' + i))));
            QCOMPARE(
                threads[i]->WriteMessage(message(0x63F, QByteArray(1, char(n)) + char('A' + i))),
                0u);
        }
    }
    QList<QCanBusFrame> written[2];
    const auto collect = [&] {
        for (int i = 0; i < 2; ++i) {
            for (const QCanBusFrame &f : peers[i]->take()) {
                if (f.frameId() == 0x63F)
                    written[i] << f;
            }
        }
    };
    QVERIFY(QTest::qWaitFor(
        [&] {
            collect();
            return rec[0].messages.size() >= count && rec[1].messages.size() >= count
                && written[0].size() >= count && written[1].size() >= count;
        },
        5000));
    QTest::qWait(50);
    collect();
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(rec[i].messages.size(), count);
        QCOMPARE(written[i].size(), count);
        for (int n = 0; n < count; ++n) {
            QCOMPARE(rec[i].messages[n].Data[0], quint8(n));
            QCOMPARE(rec[i].messages[n].Data[1], quint8('a' + i));
            QCOMPARE(written[i][n].payload(), QByteArray(1, char(n)) + char('A' + i));
        }
    }
    threads[0]->CloseDongle();
    QVERIFY(threads[1]->DongleOpen());
    QVERIFY(other.send(QCanBusFrame(0x5BF, "z")));
    QVERIFY(QTest::qWaitFor([&] { return rec[1].messages.size() == count + 1; }));
    QVERIFY(rec[0].errors.isEmpty() && rec[1].errors.isEmpty());
}

namespace {

// Owns a CAN thread in a thread with an event loop of its own, as a window in another thread
// would, and echoes every message with identifier 0x5BF as 0x63F.
class OwnerThread : public QThread
{
public:
    std::atomic<quint32> opened {0xFFFF};
    std::atomic<bool> stop {false};
    std::atomic<int> handled {0};
    std::atomic<bool> wrongThread {false};

protected:
    void run() override
    {
        auto thread = std::make_unique<TBKCANThread>(
            [this](TBKCANThread *sender, const TCANMsg &msg) {
                if (QThread::currentThread() != this)
                    wrongThread = true;
                if (msg.ID != 0x5BF)
                    return;
                ++handled;
                TCANMsg echo = msg;
                echo.ID = 0x63F;
                sender->WriteMessage(echo);
            },
            nullptr);
        opened = openDefault(*thread);
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (stop)
                loop.quit();
        });
        poll.start(5);
        loop.exec();
        thread.reset();
    }
};

} // namespace

// Opened from another thread than the application's, the bus stays in the library's thread
// and messages reach the owner through the receive thread, in order and on the owner's thread.
void tst_KTCANDongle::ownerThreadOfItsOwn()
{
    OwnerThread owner;
    owner.start();
    QVERIFY(QTest::qWaitFor([&] { return owner.opened != 0xFFFF; }));
    QCOMPARE(owner.opened.load(), 0u);
    QList<QCanBusFrame> echoes;
    // The bus server learns of the new client only when this thread's event loop runs.
    QVERIFY(QTest::qWaitFor(
        [&] {
            m_peer->send(QCanBusFrame(0x5BF, "ping"));
            QTest::qWait(20);
            echoes += m_peer->take();
            return !echoes.isEmpty();
        },
        5000));
    QTest::qWait(50);
    echoes.clear();
    m_peer->take();
    constexpr int count = 100;
    for (int i = 0; i < count; ++i)
        QVERIFY(m_peer->send(QCanBusFrame(0x5BF, QByteArray(1, char(i)))));
    QVERIFY(QTest::qWaitFor(
        [&] {
            echoes += m_peer->take();
            return echoes.size() >= count;
        },
        5000));
    for (int i = 0; i < count; ++i) {
        QCOMPARE(echoes[i].frameId(), 0x63Fu);
        QCOMPARE(quint8(echoes[i].payload().at(0)), quint8(i));
    }
    owner.stop = true;
    QVERIFY(owner.wait(5000));
    QVERIFY(!owner.wrongThread);
}

void tst_KTCANDongle::closeInHandlerDropsTheRest_data()
{
    QTest::addColumn<bool>("reopen");
    QTest::newRow("close") << false;
    QTest::newRow("close and open again") << true;
}

// Messages that arrive together are handed over together; what the dongle held when a
// handler closed it is never delivered, as the library drops it.
void tst_KTCANDongle::closeInHandlerDropsTheRest()
{
    QFETCH(bool, reopen);
    std::unique_ptr<TBKCANThread> thread;
    QList<quint8> seen;
    thread = std::make_unique<TBKCANThread>(
        [&](TBKCANThread *sender, const TCANMsg &msg) {
            seen.append(msg.Data[0]);
            if (msg.Data[0] == 1) {
                if (reopen)
                    QCOMPARE(openDefault(*sender), 0u);
                else
                    sender->CloseDongle();
            }
        },
        [](TBKCANThread *, quint32) {});
    QCOMPARE(openDefault(*thread), 0u);
    const TCANMsg together[]
        = {message(0x5BF, "\x01"), message(0x5BF, "\x02"), message(0x5BF, "\x03")};
    thread->Library().Inside().push(together, 3);
    QVERIFY(QTest::qWaitFor([&] { return !seen.isEmpty(); }));
    QTest::qWait(50);
    QCOMPARE(seen, QList<quint8>({1}));
    QCOMPARE(thread->DongleOpen(), reopen);
    if (reopen) {
        thread->Library().Inside().push(message(0x5BF, "\x04"));
        QVERIFY(QTest::qWaitFor([&] { return seen.size() == 2; }));
        QCOMPARE(seen.last(), quint8(4));
    }
}

void tst_KTCANDongle::busSettingProblems_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("fine");
    QTest::newRow("socketcan") << "socketcan:can0" << true;
    QTest::newRow("virtual bus URL") << "virtualcan:tcp://127.0.0.1:35468/can0" << true;
    QTest::newRow("no interface part") << "virtualcan" << false;
    QTest::newRow("empty interface") << "socketcan:" << false;
    QTest::newRow("no plugin part") << ":can0" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("space in interface") << "socketcan:can 0" << false;
    QTest::newRow("space before") << " socketcan:can0" << false;
    QTest::newRow("unknown plugin") << "nosuchplugin:can0" << false;
    QTest::newRow("plugin not a name") << "peak-can:usb0" << false;
    QTest::newRow("blanks only") << "   " << false;
}

void tst_KTCANDongle::busSettingProblems()
{
    QFETCH(QString, value);
    QFETCH(bool, fine);
    const QString problem = CanBusSettingProblem(value);
    QCOMPARE(problem.isEmpty(), fine);
    if (fine)
        return;
    QVERIFY2(problem.contains(QLatin1String("\"CANBus\"")), qPrintable(problem));
    QVERIFY2(problem.contains(QLatin1Char('"') + value + QLatin1Char('"')), qPrintable(problem));
    QVERIFY2(problem.contains(QLatin1String("plugin:interface")), qPrintable(problem));
    QVERIFY(!problem.contains(QLatin1String("driver")));
}

// The same value against the plugins of another installation: the plugin check names them.
void tst_KTCANDongle::busSettingAgainstPlugins()
{
    const QString value = QStringLiteral("socketcan:can0");
    QCOMPARE(CanBusSettingProblem(value, {QStringLiteral("socketcan")}), QString());
    QCOMPARE(CanBusSettingProblem(value, {QStringLiteral("virtualcan")}),
             QStringLiteral("The setting \"CANBus\" has the value \"socketcan:can0\", but there "
                            "is no CAN plugin \"socketcan\" (installed: virtualcan). The accepted "
                            "form is plugin:interface, for example socketcan:can0."));
    QVERIFY(CanBusSettingProblem(value, {}).contains(QLatin1String("(installed: none)")));
    QString plugin = QStringLiteral("untouched");
    QString iface = plugin;
    QVERIFY(!SplitCanBusSetting(QStringLiteral("peak-can:usb0"), &plugin, &iface));
    QCOMPARE(plugin, QStringLiteral("untouched"));
    QVERIFY(SplitCanBusSetting(QStringLiteral("virtualcan:tcp://127.0.0.1:35468/can0"), &plugin,
                               &iface));
    QCOMPARE(plugin, QStringLiteral("virtualcan"));
    QCOMPARE(iface, QStringLiteral("tcp://127.0.0.1:35468/can0"));
}

namespace {

QMutex chatterMutex;
QStringList chatter;
QtMessageHandler previousHandler = nullptr;

void captureChatter(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (context.category && QByteArray(context.category).startsWith("qt.canbus")) {
        QMutexLocker lock(&chatterMutex);
        chatter << QStringLiteral("%1 [%2] %3").arg(context.category).arg(type).arg(text);
    }
    previousHandler(type, context, text);
}

} // namespace

// The virtual bus plugin's notes on connections and on hosting the bus stay out of the
// user's output; its warnings stay in.
void tst_KTCANDongle::virtualBusChatterFiltered()
{
    QLoggingCategory::setFilterRules(QString());
    previousHandler = qInstallMessageHandler(captureChatter);
    const auto restore = qScopeGuard([] {
        qInstallMessageHandler(previousHandler);
        QLoggingCategory::setFilterRules(QStringLiteral("qt.canbus*=false"));
    });
    {
        Received rec;
        auto thread = makeThread(&rec);
        QCOMPARE(openDefault(*thread), 0u);
        QVERIFY(syncWithPeer(*thread, *m_peer));
        thread->CloseDongle();
    }
    {
        QMutexLocker lock(&chatterMutex);
        const QStringList lines = std::exchange(chatter, {});
        for (const QString &line : lines)
            QVERIFY2(!line.startsWith(QLatin1String("qt.canbus.plugins.virtualcan")),
                     qPrintable(line));
    }
    const QLoggingCategory plugin("qt.canbus.plugins.virtualcan");
    QVERIFY(!plugin.isInfoEnabled());
    QVERIFY(plugin.isWarningEnabled());
    QVERIFY(QLoggingCategory("qt.canbus").isWarningEnabled());
}

QTEST_GUILESS_MAIN(tst_KTCANDongle)
#include "tst_KTCANDongle.moc"
