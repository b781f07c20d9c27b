// CAN receive thread costs on Qt's virtual bus (a private server port):
//  - processor time of an open TBKCANThread with no traffic over 5 s, against a loop that
//    polls the library without pause (the cost of receiving by polling);
//  - frame turnaround through the library and a synchronised CAN thread answering from the main
//    thread (WriteMessage), against a plain QCanBusDevice echo in a thread of its own.

#include "LatencyFigures.h"
#include "comm/KTCANDongle.h"
#include "support/VirtualCanPeer.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

constexpr int kIdleSeconds = 5;
constexpr int kRounds = 500;

double processCpuSeconds()
{
    rusage u {};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
        + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds()
{
    rusage u {};
    ::getrusage(RUSAGE_THREAD, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
        + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

using Figures = LatencyFigures;

// Sends frame 0x100 and waits for the answer 0x200, kRounds times.
Figures pingPong(VirtualCanPeer &peer)
{
    std::vector<double> micros;
    QElapsedTimer clock;
    QEventLoop loop;
    int sent = 0;
    auto sendNext = [&] {
        if (sent == kRounds + 20) {
            loop.quit();
            return;
        }
        ++sent;
        clock.start();
        peer.send(QCanBusFrame(0x100, QByteArray(8, char(sent))));
    };
    // The peer has taken the frames in when this runs: it connected first.
    auto connection = QObject::connect(peer.device(), &QCanBusDevice::framesReceived, &loop, [&] {
        for (const QCanBusFrame &frame : peer.take()) {
            if (frame.frameId() != 0x200)
                continue;
            if (sent > 20)
                micros.push_back(double(clock.nsecsElapsed()) / 1000.0);
            sendNext();
        }
    });
    QTimer::singleShot(0, &loop, sendNext);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(connection);
    return LatencyFigures::of(micros);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("qt.canbus*=false"));
    // The peer hosts the bus server in this thread, on a port of its own.
    auto peer = std::make_unique<VirtualCanPeer>();
    const QString bus = peer->busSetting();
    const QString iface = bus.section(u':', 1);
    if (!peer->isConnected()) {
        std::fprintf(stderr, "no virtual CAN bus\n");
        return 1;
    }

    // Reference turnaround: a plain device echoing from a thread of its own.
    QThread echoThread;
    QObject echoContext;
    echoContext.moveToThread(&echoThread);
    echoThread.start();
    QCanBusDevice *echo = nullptr;
    QMetaObject::invokeMethod(
        &echoContext,
        [&] {
            echo = QCanBus::instance()->createDevice(QStringLiteral("virtualcan"), iface);
            QObject::connect(echo, &QCanBusDevice::framesReceived, echo, [&] {
                while (echo->framesAvailable()) {
                    QCanBusFrame f = echo->readFrame();
                    if (f.frameId() == 0x100) {
                        f.setFrameId(0x200);
                        echo->writeFrame(f);
                    }
                }
            });
            echo->connectDevice();
        },
        Qt::BlockingQueuedConnection);
    spin(300);
    const Figures plain = pingPong(*peer);
    QMetaObject::invokeMethod(
        &echoContext, [&] { delete echo; }, Qt::BlockingQueuedConnection);
    echoThread.quit();
    echoThread.wait();

    // The receive thread, answering from the main thread.
    std::unique_ptr<TBKCANThread> can;
    can = std::make_unique<TBKCANThread>(
        [&](TBKCANThread *sender, const TCANMsg &msg) {
            if (msg.ID != 0x100)
                return;
            TCANMsg answer = msg;
            answer.ID = 0x200;
            sender->WriteMessage(answer);
        },
        [](TBKCANThread *, quint32 code) { std::fprintf(stderr, "CAN error 0x%x\n", code); });
    if (can->OpenDongle(bus, false, 7, false, 11, 3, true) != 0) {
        std::fprintf(stderr, "cannot open the dongle library\n");
        return 1;
    }
    spin(300);
    const Figures thread = pingPong(*peer);

    // Idle cost: nothing on the bus for kIdleSeconds.
    const double idleStart = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    spin(kIdleSeconds * 1000);
    const double idleCpu = processCpuSeconds() - idleStart;
    const double idleWall = double(wall.nsecsElapsed()) / 1e9;

    // Reference: polling the library without pause, for one second.
    double busyCpu = 0;
    double busyWall = 0;
    std::thread busy([&] {
        const double start = threadCpuSeconds();
        QElapsedTimer t;
        t.start();
        TCANMsg msg;
        while (t.elapsed() < 1000)
            can->Library().Read(&msg);
        busyCpu = threadCpuSeconds() - start;
        busyWall = double(t.nsecsElapsed()) / 1e9;
    });
    busy.join();
    can.reset();
    peer.reset();

    const double idleShare = 100.0 * idleCpu / idleWall;
    const double busyShare = 100.0 * busyCpu / busyWall;
    std::printf("CAN receive thread, virtual bus\n");
    std::printf("  idle, whole process over %.1f s: %6.3f%% of a core (goal < 1%%)\n", idleWall,
                idleShare);
    std::printf("  busy-polling loop:               %6.1f%% of a core\n", busyShare);
    std::printf("  idle / busy ratio:               %8.5f\n",
                busyShare > 0 ? idleShare / busyShare : 0.0);
    std::printf("frame turnaround over %zu/%zu round trips (microseconds)\n", plain.count,
                thread.count);
    std::printf("  plain device echo thread:        median %8.1f  p99 %8.1f\n", plain.median,
                plain.p99);
    std::printf("  library + TBKCANThread hand-over: median %8.1f  p99 %8.1f\n", thread.median,
                thread.p99);
    if (plain.median > 0 && plain.p99 > 0)
        std::printf("  ratio:                           median %8.2f  p99 %8.2f\n",
                    thread.median / plain.median, thread.p99 / plain.p99);
    return 0;
}
