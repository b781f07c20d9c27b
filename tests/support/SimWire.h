#pragma once

#include <QByteArray>
#include <QString>

// The host side of hand-written wire exchanges with brasvik-sim: the caller opens the
// pseudo-terminal itself and writes and reads raw bytes. Deliberately independent of the
// tool's own protocol code.
class SimWire
{
public:
    explicit SimWire(const QString &path);
    ~SimWire();
    SimWire(const SimWire &) = delete;
    SimWire &operator=(const SimWire &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    void close();
    bool write(const QByteArray &bytes);
    // Reads until count bytes have come or the time is up; returns what came.
    QByteArray read(int count, int timeoutMs = 3000);
    // Reads whatever arrives within the time.
    QByteArray readFor(int timeoutMs);
    // The boot byte, then the target programs `loader` and `program`: true when the device
    // answered with an ID, then 01 and AA. Its answers are added to `answers`.
    bool boot(const QString &loader, const QString &program, QByteArray *answers = nullptr);
    // True when the device end hung up (the line reports a hang-up).
    bool hungUp(int timeoutMs);

    // The bytes a host sends for a target program file: the data of its type-00 records.
    static QByteArray programBytes(const QString &fileName);
    static QByteArray flashFrame(int sector, int address, const QByteArray &data);
    static QByteArray retainFrame(const QByteArray &data16);
    static quint8 uploadCheck(const QByteArray &data);

private:
    int m_fd = -1;
};
