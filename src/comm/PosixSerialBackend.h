#pragma once

#include "comm/SerialBackend.h"

#include <array>
#include <atomic>

// SerialBackend over a Linux tty: the kernel's termios2 for the line (arbitrary rates, which
// 28800 needs), ioctls for queues, counters and modem lines, poll() with an eventfd to wake.
class PosixSerialBackend final : public SerialBackend
{
public:
    PosixSerialBackend();
    ~PosixSerialBackend() override;
    PosixSerialBackend(const PosixSerialBackend &) = delete;
    PosixSerialBackend &operator=(const PosixSerialBackend &) = delete;

    [[nodiscard]] bool open(const QString &path) override;
    bool close() override;
    bool isOpen() const override { return m_fd.load() >= 0; }
    int handle() const override { return m_fd.load(); }

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
    int readableHandle() const override { return m_fd.load(); }
    bool lineIsDown() override;

    [[nodiscard]] ModemResult setModemLine(ModemLine line, bool on) override;

private:
    std::atomic<int> m_fd {-1};
    const int m_wakeFd;
    // The line as read at the first configure() of an opening, changed only in the fields that
    // LineSettings names (opaque here: the kernel's termios2).
    alignas(8) std::array<unsigned char, 64> m_line {};
    bool m_haveLine = false;
};
