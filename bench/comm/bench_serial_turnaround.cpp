// Serial turnaround on pseudo-terminal pairs: a byte arrives, the component reads it on the main
// thread (events handled there), the handler takes it and writes the answer. Measured from the far end as the round trip, against a plain poll()/read()/write()
// echo loop on a pair of its own in the same run. The two are measured in turns, block by
// block, so that a change of load on the machine falls on both alike.
// Usage: bench_serial_turnaround [--blocks N] [--rounds N]   (N rounds per block)

#include "comm/KTSerial.h"
#include "LatencyFigures.h"
#include "support/PtyPair.h"

#include <QCoreApplication>
#include <QStringList>

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

using Clock = std::chrono::steady_clock;

// Sends one byte at a time through the master and waits for its echo; false when an echo does
// not come.
bool measure(int masterFd, int rounds, std::vector<double> *micros)
{
    for (int i = 0; i < rounds; ++i) {
        const char out = char(i);
        const auto start = Clock::now();
        if (::write(masterFd, &out, 1) != 1)
            return false;
        char in = 0;
        for (;;) {
            pollfd p {masterFd, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                return false;
            if (::read(masterFd, &in, 1) == 1)
                break;
        }
        const auto end = Clock::now();
        if (micros)
            micros->push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    return true;
}

// The plain loop: a thread that echoes whatever the slave side reads.
class PlainEcho
{
public:
    explicit PlainEcho(const PtyPair &pty)
        : m_slave(
            ::open(pty.devicePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK))
        , m_thread([this] { run(); })
    { }
    ~PlainEcho()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_slave);
    }

private:
    void run()
    {
        char buffer[64];
        while (!m_stop) {
            pollfd p {m_slave, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::read(m_slave, buffer, sizeof buffer);
            if (n > 0)
                (void)!::write(m_slave, buffer, size_t(n));
        }
    }

    const int m_slave;
    std::atomic<bool> m_stop {false};
    std::thread m_thread;
};

int option(const QStringList &args, const char *name, int fallback)
{
    const qsizetype i = args.indexOf(QLatin1String(name));
    return i >= 0 && i + 1 < args.size() ? qMax(1, args[i + 1].toInt()) : fallback;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int blocks = option(app.arguments(), "--blocks", 10);
    const int rounds = option(app.arguments(), "--rounds", 300);

    PtyPair plainPty;
    PlainEcho plain(plainPty);

    PtyPair componentPty;
    TKTSerial serial;
    serial.SetDevicePath(componentPty.devicePath());
    serial.SetBaudrate(br115200);
    serial.SetSyncEventHandling(true);
    // What a transfer does with an answer: ask what is waiting, read it, send the next request.
    serial.OnRxChar = [](TKTSerial *s) {
        char buffer[64];
        const quint32 n = s->Read(buffer, qMin<quint32>(s->InputCount(), sizeof buffer));
        if (n)
            s->Write(buffer, n);
    };
    serial.OnTxEmpty = [](TKTSerial *) {
    };
    serial.OnError = [](TKTSerial *) {
    };
    serial.Open();

    std::vector<double> plainMicros, componentMicros;
    bool ok = true;
    std::thread client([&] {
        ok = measure(plainPty.masterFd(), kWarmup, nullptr)
            && measure(componentPty.masterFd(), kWarmup, nullptr);
        for (int b = 0; ok && b < blocks; ++b) {
            ok = measure(plainPty.masterFd(), rounds, &plainMicros)
                && measure(componentPty.masterFd(), rounds, &componentMicros);
        }
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    client.join();
    serial.Close();
    if (!ok) {
        std::fprintf(stderr, "an echo did not come back\n");
        return 1;
    }

    const LatencyFigures p = LatencyFigures::of(plainMicros);
    const LatencyFigures c = LatencyFigures::of(componentMicros);
    std::printf("serial turnaround, %zu round trips each, %d blocks in turns (microseconds)\n",
                p.count, blocks);
    std::printf("  plain poll/read/write echo: median %8.1f  p99 %8.1f\n", p.median, p.p99);
    std::printf("  TKTSerial, events on main: median %8.1f  p99 %8.1f\n", c.median, c.p99);
    if (p.median > 0 && p.p99 > 0)
        std::printf("  ratio (goal <= 2.0):        median %8.2f  p99 %8.2f\n", c.median / p.median,
                    c.p99 / p.p99);
    return 0;
}
