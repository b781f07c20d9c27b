// Serial turnaround on a pseudo-terminal pair: a byte arrives, the component's receive event is
// handed to the main thread, the handler reads it and writes the answer. Measured from the far
// end as the round trip, against a plain poll()/read()/write() echo loop on the same kind of
// pair in the same run.

#include "comm/KTSerial.h"
#include "LatencyFigures.h"
#include "support/PtyPair.h"
#include "base/SettingsStore.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kWarmup = 200;
constexpr int kRounds = 3000;

using Clock = std::chrono::steady_clock;

// Sends one byte at a time through the master and waits for its echo.
std::vector<double> measure(int masterFd)
{
    std::vector<double> micros;
    micros.reserve(kRounds);
    for (int i = 0; i < kWarmup + kRounds; ++i) {
        const char out = char(i);
        const auto start = Clock::now();
        if (::write(masterFd, &out, 1) != 1)
            break;
        char in = 0;
        for (;;) {
            pollfd p {masterFd, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                return micros;
            if (::read(masterFd, &in, 1) == 1)
                break;
        }
        const auto end = Clock::now();
        if (i >= kWarmup)
            micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    return micros;
}

using Figures = LatencyFigures;

Figures plainEchoLoop()
{
    PtyPair pty;
    const int slave
        = ::open(pty.devicePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    std::atomic<bool> stop {false};
    std::thread echo([&] {
        char buffer[64];
        while (!stop) {
            pollfd p {slave, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::read(slave, buffer, sizeof buffer);
            if (n > 0)
                (void)!::write(slave, buffer, size_t(n));
        }
    });
    const Figures f = LatencyFigures::of(measure(pty.masterFd()));
    stop = true;
    echo.join();
    ::close(slave);
    return f;
}

Figures componentEcho()
{
    PtyPair pty;
    SettingsStore::overrideComPortDevicePath(0, pty.devicePath());
    TKTSerial serial;
    serial.SetBaudrate(br115200);
    serial.SetSyncEventHandling(true);
    serial.OnRxChar = [](TKTSerial *s) {
        char buffer[64];
        const quint32 n = s->Read(buffer, s->InputCount() < 64 ? s->InputCount() : 64);
        if (n)
            s->Write(buffer, n);
    };
    serial.OnTxEmpty = [](TKTSerial *) {
    };
    serial.Open();
    std::vector<double> micros;
    std::thread client([&] {
        micros = measure(pty.masterFd());
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    client.join();
    serial.Close();
    return LatencyFigures::of(micros);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const Figures plain = plainEchoLoop();
    const Figures component = componentEcho();
    std::printf("serial turnaround over %zu/%zu round trips (microseconds)\n", plain.count,
                component.count);
    std::printf("  plain poll/read/write echo: median %8.1f  p99 %8.1f\n", plain.median, plain.p99);
    std::printf("  TKTSerial with hand-over:   median %8.1f  p99 %8.1f\n", component.median,
                component.p99);
    if (plain.median > 0 && plain.p99 > 0)
        std::printf("  ratio (goal <= 3.0):        median %8.2f  p99 %8.2f\n",
                    component.median / plain.median, component.p99 / plain.p99);
    return 0;
}
