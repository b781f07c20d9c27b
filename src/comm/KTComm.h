#pragma once

#include <QString>
#include <QtGlobal>

#include <stdexcept>

// Vocabulary of the serial line: the enumerations the serial component publishes (the settings
// store their ordinals, so the order never changes), their line values and names, the
// exception classes of the communication layer and the error texts.

enum TBaudrate : quint8 {
    br1200,
    br2400,
    br4800,
    br9600,
    br19200,
    br28800,
    br38400,
    br57600,
    br115200
};
constexpr int TBaudrateCount = 9;

enum TPort : quint8 {
    COM1,
    COM2,
    COM3,
    COM4,
    COM5,
    COM6,
    COM7,
    COM8,
    COM9,
    COM10,
    COM11,
    COM12,
    COM13,
    COM14,
    COM15,
    COM16
};
constexpr int TPortCount = 16;

// Scoped: "None" is too common a name for the global namespace.
enum class TParityBit : quint8 { None, Even, Odd };
enum TStopBit : quint8 { sb_1, sb_2 };
enum TDataBit : quint8 { db_7, db_8 };

// Bit rate in bit/s; out-of-range ordinals give 9600.
int BaudrateValue(TBaudrate baudrate);
// The ordinal whose rate is bitsPerSecond; false when none matches.
bool BaudrateFromValue(int bitsPerSecond, TBaudrate *baudrate);
// Line values as the line configuration record holds them: parity 0 none, 1 odd, 2 even;
// stop bits 0 = one, 2 = two; data bits 7 or 8.
quint8 ParityLineValue(TParityBit parity);
quint8 StopBitLineValue(TStopBit stopBits);
quint8 DataBitLineValue(TDataBit dataBits);

// "COM1".."COM16" and "COM 1".."COM 16".
QString CommPortDeviceName(TPort port);
QString CommPortDisplayName(TPort port);

// Line error flag bits, as ClearCommError reports them.
enum : quint32 {
    CE_RXOVER = 0x0001,
    CE_OVERRUN = 0x0002,
    CE_RXPARITY = 0x0004,
    CE_FRAME = 0x0008,
    CE_BREAK = 0x0010,
    CE_TXFULL = 0x0100,
    CE_IOE = 0x0400,
    CE_MODE = 0x8000
};

// The system's message for the calling thread's last error (errno); empty when there is none.
QString SystemErrorText();
// As SystemErrorText, but "Unknown Error!" when there is none.
QString LastErrorText();
// One sentence plus "\r\n" per known flag, in a fixed order.
QString CommErrorText(quint32 flags);

// Exceptions of the communication layer; each carries only its message.
class ECommHandleError : public std::runtime_error
{
public:
    explicit ECommHandleError(const QString &message);
    QString message() const { return QString::fromUtf8(what()); }
};

class ECommInitError : public std::runtime_error
{
public:
    explicit ECommInitError(const QString &message);
    QString message() const { return QString::fromUtf8(what()); }
};

class ESystemError : public std::runtime_error
{
public:
    explicit ESystemError(const QString &message);
    QString message() const { return QString::fromUtf8(what()); }
};
