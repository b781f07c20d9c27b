#pragma once

#include "transfer/CanLink.h"
#include "transfer/SerialLink.h"

#include <QByteArray>
#include <QList>

#include <memory>

// In-memory stand-ins for the serial port and the CAN dongle: they record what a transfer sends
// and let a test play the device's answers and the port's events.
class FakeSerialLink : public SerialLink
{
public:
    void setHandlers(Handlers handlers) override { m_handlers = std::move(handlers); }
    void clearHandlers() override { m_handlers = {}; }
    void setBaudrate(int ordinal) override { baudrate = ordinal; }
    [[nodiscard]] OpenResult open() override;
    bool isActive() const override { return active; }
    void close() override;
    qint64 write(const QByteArray &bytes) override;
    qint64 inputCount() override { return active ? m_rx.size() : 0; }
    qint64 read(char *buffer, qint64 count) override;
    [[nodiscard]] bool takeLineErrors(quint32 *flags) override;
    QString lastErrorText() const override { return lastError; }

    // The device answers: the bytes are queued and the receive event is raised.
    void deliver(const QByteArray &bytes);
    void deliver(quint8 byte) { deliver(QByteArray(1, char(byte))); }
    // Bytes that wait in the input queue without a receive event (late bytes a time-out finds).
    void queue(const QByteArray &bytes) { m_rx += bytes; }
    void raiseTxEmpty();
    void raiseLineError(quint32 flags);
    bool hasHandlers() const { return bool(m_handlers.rxChar); }
    // Everything written since the last call.
    QByteArray takeWritten();

    // Set by tests before the transfer starts.
    OpenResult openResult;
    bool writeCompletesAtOnce = false; // false: write reports 0 bytes (still in progress)
    bool failLineErrorQuery = false;
    QString lastError = QStringLiteral("Input/output error"); // the system's text, may be empty

    int baudrate = -1;
    bool active = false;
    int openCount = 0;
    int closeCount = 0;
    QList<QByteArray> writes;

private:
    Handlers m_handlers;
    QByteArray m_rx;
    QByteArray m_written;
    quint32 m_pendingFlags = 0;
};

// The CAN side, shared between the test and the link the transfer creates through its factory.
struct FakeCanBus
{
    quint32 openResult = 0;
    bool opened = false;
    bool stopped = false;
    int closeDongleCount = 0;
    CanLink::Params params;
    QList<TCANMsg> sent;
    CanLink::ResultHandler onResult;
    CanLink::ErrorHandler onError;

    // A reply of the target on 0x5BF with one status byte (or any message).
    void reply(quint8 status);
    void deliver(const TCANMsg &msg);
    void raiseError(quint32 code);
    QList<TCANMsg> takeSent();
};

class FakeCanLink : public CanLink
{
public:
    explicit FakeCanLink(std::shared_ptr<FakeCanBus> bus) : m_bus(std::move(bus)) { }
    [[nodiscard]] quint32 open(const Params &params, ResultHandler onResult,
                               ErrorHandler onError) override;
    quint32 writeMessage(const TCANMsg &msg) override;
    void closeDongle() override { ++m_bus->closeDongleCount; }
    void stop() override;

private:
    std::shared_ptr<FakeCanBus> m_bus;
};
