#pragma once

#include "comm/SerialBackend.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// A serial port in memory for tests of the serial component, showing what a pseudo-terminal
// cannot: output that never drains, line errors the driver counts, a device that vanishes, and
// the changes of the modem lines with their times. The test scripts it from its own thread
// while the component's worker waits on it.
class FakeSerialBackend final : public SerialBackend
{
public:
    struct ModemChange
    {
        ModemLine line;
        bool on;
        qint64 nsecs; // since the fake was made
        qint64 ms = -1; // on the clock given to setClock; -1 without one
    };

    FakeSerialBackend();
    ~FakeSerialBackend() override;
    FakeSerialBackend(const FakeSerialBackend &) = delete;
    FakeSerialBackend &operator=(const FakeSerialBackend &) = delete;

    // Scripting. An errno value of 0 lets the call succeed.
    void setOpenError(int error);
    void setConfigureError(int error);
    void setCloseError(int error);
    // Bytes arriving on the line.
    void feed(const QByteArray &bytes);
    // Bytes the driver still holds when the port is opened next (a late answer to an earlier
    // session).
    void setStaleInput(const QByteArray &bytes);
    // As a driver does, the counters grow with the bytes that carried the error; give them.
    void countLineErrors(const ErrorCounters &more, const QByteArray &withBytes = {});
    void setCountersSupported(bool supported);
    // False: written bytes are taken but stay in the transmit queue until drainOutput().
    void setOutputDrains(bool drains);
    void drainOutput();
    // The device is gone: reads and writes fail with EIO, the line is down, opening fails.
    void vanish();
    void setModemLinesSupported(bool supported);
    // Offers a descriptor that polls readable while bytes wait or the line is down, as a tty
    // does: the component's own thread then reads, not the worker.
    void offerReadableHandle();
    // Stamps the modem line changes with this clock too (virtual time in transfer tests).
    void setClock(std::function<qint64()> msNow);

    // What the component did.
    QByteArray written() const;
    QList<LineSettings> configurations() const;
    QList<ModemChange> modemChanges() const;
    int wakeCount() const;
    // Calls that ask the driver how many bytes wait to be read.
    int inputQueueCalls() const;
    // Bytes waiting in the driver's receive queue, and the calls that dropped them.
    qsizetype pendingInput() const;
    int discardCalls() const;
    // The thread of the latest read() that took bytes.
    std::thread::id lastReader() const;

    [[nodiscard]] bool open(const QString &path) override;
    bool close() override;
    bool isOpen() const override;
    int handle() const override;
    [[nodiscard]] bool configure(const LineSettings &line) override;
    [[nodiscard]] bool lineSettings(LineSettings *line) const override;
    qint64 read(char *buffer, qint64 count) override;
    qint64 write(const char *data, qint64 count) override;
    [[nodiscard]] bool discardInput() override;
    int inputQueue() override;
    int outputQueue() override;
    [[nodiscard]] bool errorCounters(ErrorCounters *counters) override;
    quint32 wait(quint32 interest, int timeoutMs) override;
    void wake() override;
    int readableHandle() const override;
    bool lineIsDown() override;
    [[nodiscard]] ModemResult setModemLine(ModemLine line, bool on) override;

private:
    quint32 readyLocked(quint32 interest) const;
    // Keeps the offered descriptor readable exactly while a tty's would be.
    void updateReadableLocked();
    // Set errno for a failing call.
    static int fail(int error);
    static bool refuse(int error);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    const int m_handle;
    QElapsedTimer m_clock;
    bool m_open = false;
    bool m_vanished = false;
    bool m_woken = false;
    int m_wakes = 0;
    int m_inputQueueCalls = 0;
    int m_discardCalls = 0;
    QByteArray m_staleInput;
    int m_openError = 0;
    int m_configureError = 0;
    int m_closeError = 0;
    bool m_countersSupported = true;
    bool m_drains = true;
    bool m_modemLinesSupported = true;
    int m_readableFd = -1;
    bool m_readableRaised = false;
    std::thread::id m_lastReader;
    std::function<qint64()> m_msClock;
    QByteArray m_input;
    QByteArray m_written;
    qint64 m_outQueued = 0;
    ErrorCounters m_counters;
    LineSettings m_line;
    QList<LineSettings> m_configurations;
    QList<ModemChange> m_modemChanges;
};
