#pragma once

#include "comm/SerialBackend.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <functional>

// The narrow view of a serial port that a transfer drives: the window and the command-line tool
// hand in an adapter over the serial component, the unit tests an in-memory fake. All calls and
// all handlers run on the GUI (main) thread.
class SerialLink
{
public:
    struct Handlers
    {
        std::function<void()> rxChar; // bytes arrived
        std::function<void()> txEmpty; // the transmit queue has drained
        std::function<void()> error; // a line error (also a device that went away)
    };

    enum class OpenStatus {
        Opened,
        NotActive, // the open call returned without error, yet the port is not active
        Raised, // the port refused to open; message in OpenResult::message
    };
    struct OpenResult
    {
        OpenStatus status = OpenStatus::Opened;
        QString message;
    };

    virtual ~SerialLink() = default;

    // Installed while the port is closed; they decide which events the port reports.
    virtual void setHandlers(Handlers handlers) = 0;
    virtual void clearHandlers() = 0;

    // The device the next open() opens (a link over a fixed port ignores it).
    virtual void setDevicePath(const QString &path) { Q_UNUSED(path); }
    // TBaudrate ordinal (0 = 1200 .. 8 = 115200 bit/s); it stays on the port afterwards.
    virtual void setBaudrate(int ordinal) = 0;
    [[nodiscard]] virtual OpenResult open() = 0;
    virtual bool isActive() const = 0;
    // Never throws; a port that is not open is left alone.
    virtual void close() = 0;

    // Bytes reported written at once: 0 while the transmission is still in progress.
    virtual qint64 write(const QByteArray &bytes) = 0;
    virtual qint64 inputCount() = 0;
    virtual qint64 read(char *buffer, qint64 count) = 0;
    // Drops every byte received and not read yet (late answers to an earlier session). This
    // default reads them away; a port with a driver queue of its own flushes that too.
    virtual void discardInput()
    {
        char buffer[512];
        while (inputCount() > 0 && read(buffer, qint64(sizeof buffer)) > 0) { }
    }
    // Reads and clears the line error flags (the CommErrorText bits). False when that fails.
    [[nodiscard]] virtual bool takeLineErrors(quint32 *flags) = 0;
    // The system's text for the last failure ("Unknown Error!" when it has none).
    virtual QString lastErrorText() const = 0;

    using ModemLine = SerialBackend::ModemLine;
    using ModemResult = SerialBackend::ModemResult;
    // Raises (on) or drops a modem line of the open port. A link without modem lines cannot
    // set them; after Failed, lastErrorText() says why.
    [[nodiscard]] virtual ModemResult setModemLine(ModemLine line, bool on)
    {
        Q_UNUSED(line);
        Q_UNUSED(on);
        return ModemResult::CannotSet;
    }
};
