#pragma once

#include <QString>
#include <QtGlobal>

#include <array>

// The operating system's serial calls, kept narrow so that another platform can sit behind the
// same functions. Failures return false or -1 and leave errno set.
namespace SerialPlatform {

// The port's line configuration as the driver holds it (opaque).
struct LineRecord
{
    alignas(8) std::array<unsigned char, 64> storage {};
};

// Cumulative error counters of the driver.
struct ErrorCounters
{
    quint32 frame = 0;
    quint32 parity = 0;
    quint32 overrun = 0;
    quint32 brk = 0;
    quint32 bufferOverrun = 0;
    bool operator==(const ErrorCounters &) const = default;
};

// Opens read/write, non-blocking, without controlling terminal, exclusive (a second opener,
// root included, gets EBUSY). -1 on failure.
int openDevice(const QString &path);
bool closeDevice(int fd);

bool readLine(int fd, LineRecord *record);
bool writeLine(int fd, const LineRecord &record);
// Raw mode: no echo, no translation, no signals, receiver on, modem lines ignored. Hardware
// flow control and the rest stay as found.
void makeRaw(LineRecord *record);
// The four fields the component owns. parity: 0 none, 1 odd, 2 even; stopBits: 0 one, 2 two.
void setFrame(LineRecord *record, int bitsPerSecond, int dataBits, int parity, int stopBits);
int bitRate(const LineRecord &record);
int dataBits(const LineRecord &record);
int parity(const LineRecord &record);
int stopBits(const LineRecord &record);

// Bytes in the driver's receive / transmit queue; -1 on failure.
int inputQueue(int fd);
int outputQueue(int fd);
// Drops both queues.
bool purge(int fd);
// False where the driver keeps none (pseudo-terminals).
bool errorCounters(int fd, ErrorCounters *counters);
// CE_* flags for the counters that grew from before to now.
quint32 errorFlags(const ErrorCounters &before, const ErrorCounters &now);

} // namespace SerialPlatform
