#pragma once

#include <QString>
#include <QtGlobal>

#include <memory>

// What the serial component asks of the operating system's serial port: everything below
// TKTSerial that differs between platforms. PosixSerialBackend is the one this program ships;
// tests put a scripted fake in its place to show what a pseudo-terminal cannot.
//
// Failures return false or -1 and leave the reason in errno, which SystemErrorText turns into
// the component's exception message.
//
// Threads: the component's worker calls wait() and, like the component's own thread, read(),
// write(), the queue depths and the counters; wake() may come from any thread. open(),
// configure(), setModemLine() and close() come from the component's thread, and open() and
// close() only while no worker serves the port.
class SerialBackend
{
public:
    // The driver never holds back output for a received XOFF: XON and XOFF are data here.
    enum class FlowControl : quint8 {
        AsFound, // hardware flow control as the port had it before
        None,
        Hardware, // RTS/CTS
    };

    struct LineSettings
    {
        int bitsPerSecond = 9600;
        int dataBits = 8; // 7 or 8
        int parity = 0; // as ParityLineValue: 0 none, 1 odd, 2 even
        int stopBits = 0; // as StopBitLineValue: 0 one, 2 two
        FlowControl flow = FlowControl::AsFound;
        bool operator==(const LineSettings &) const = default;
    };

    // The driver's cumulative line error counters.
    struct ErrorCounters
    {
        quint32 frame = 0;
        quint32 parity = 0;
        quint32 overrun = 0; // the UART's receiver
        quint32 brk = 0;
        quint32 bufferOverrun = 0; // the driver's receive buffer
        bool operator==(const ErrorCounters &) const = default;
    };

    // What ended a wait, and what the waiter asks for.
    enum Ready : quint32 {
        Readable = 0x01,
        Writable = 0x02,
        LineDown = 0x04, // hung up or failed; asked for, it means "watch the line at all"
        Woken = 0x08,
    };

    enum class ModemLine : quint8 { DTR, RTS };
    enum class ModemResult : quint8 {
        Set,
        CannotSet, // no such line here (pseudo-terminal), or hardware flow control owns it
        Failed, // errno tells why
    };

    virtual ~SerialBackend() = default;

    // Opens the device read/write, non-blocking, exclusive (a second opener gets EBUSY).
    [[nodiscard]] virtual bool open(const QString &path) = 0;
    // Drops both queues and closes. False when the close failed; closed all the same.
    virtual bool close() = 0;
    virtual bool isOpen() const = 0;
    // The platform's handle of the open port; -1 while closed.
    virtual int handle() const = 0;

    // Raw line (no echo, no translation, no signals, modem status ignored) with these settings;
    // every other field of the line keeps what the port had at open.
    [[nodiscard]] virtual bool configure(const LineSettings &line) = 0;
    // What the driver holds now.
    [[nodiscard]] virtual bool lineSettings(LineSettings *line) const = 0;

    // Bytes read / taken; 0 when none are waiting / the driver is full; -1 on failure.
    virtual qint64 read(char *buffer, qint64 count) = 0;
    virtual qint64 write(const char *data, qint64 count) = 0;
    // Drops what the driver's receive queue holds (bytes from before this opening or a late
    // answer to an earlier one). False on failure.
    [[nodiscard]] virtual bool discardInput() = 0;
    // Bytes in the driver's receive / transmit queue; -1 on failure.
    virtual int inputQueue() = 0;
    virtual int outputQueue() = 0;
    // False where the driver keeps none (pseudo-terminals); errno is left as it was then.
    [[nodiscard]] virtual bool errorCounters(ErrorCounters *counters) = 0;

    // Waits up to timeoutMs (-1: no limit) for what `interest` asks (Ready bits) or for wake().
    // Returns the Ready bits that hold; 0 when the time ran out.
    virtual quint32 wait(quint32 interest, int timeoutMs) = 0;
    // Ends the current or the next wait().
    virtual void wake() = 0;
    // A descriptor that an event loop can watch for received bytes, or -1 where only wait()
    // tells. Bytes are read through read() all the same.
    virtual int readableHandle() const { return -1; }
    // True when the line has failed or hung up (what wait() reports as LineDown), asked without
    // waiting and without taking a wake().
    virtual bool lineIsDown() { return false; }

    [[nodiscard]] virtual ModemResult setModemLine(ModemLine line, bool on) = 0;

    // The platform's own backend.
    static std::unique_ptr<SerialBackend> createDefault();
};
