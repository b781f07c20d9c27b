#pragma once

#include "CanLink.h"
#include "SerialLink.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cstring>

// In-memory stand-ins for the serial port and the CAN dongle: the test plays the device by
// delivering bytes and messages and reads what the transfer sent.
class FakeSerialLink : public SerialLink
{
public:
    void setHandlers(Handlers handlers) override { m_handlers = std::move(handlers); }
    void clearHandlers() override { m_handlers = {}; }
    void setBaudrate(int ordinal) override { baudrate = ordinal; }
    OpenResult open() override
    {
        ++opened;
        active = true;
        return {};
    }
    bool isActive() const override { return active; }
    void close() override { active = false; }
    qint64 write(const QByteArray &bytes) override
    {
        written += bytes;
        return writeCompletesAtOnce ? bytes.size() : 0;
    }
    qint64 inputCount() override { return active ? input.size() : 0; }
    qint64 read(char *buffer, qint64 count) override
    {
        const qint64 n = std::min<qint64>(count, input.size());
        std::memcpy(buffer, input.constData(), size_t(n));
        input.remove(0, n);
        return n;
    }
    bool takeLineErrors(quint32 *flags) override
    {
        *flags = lineErrors;
        lineErrors = 0;
        return true;
    }
    QString lastErrorText() const override { return QStringLiteral("Unknown Error!"); }

    // The device answers: the bytes wait in the input queue, then the receive event runs.
    void deliver(const QByteArray &bytes)
    {
        input += bytes;
        if (m_handlers.rxChar)
            m_handlers.rxChar();
    }
    void raiseLineError(quint32 flags)
    {
        lineErrors = flags;
        if (m_handlers.error)
            m_handlers.error();
    }
    QByteArray takeWritten()
    {
        QByteArray w = written;
        written.clear();
        return w;
    }

    QByteArray written;
    QByteArray input;
    quint32 lineErrors = 0;
    int baudrate = -1;
    int opened = 0;
    bool active = false;
    bool writeCompletesAtOnce = false;

private:
    Handlers m_handlers;
};

class FakeCanLink : public CanLink
{
public:
    struct Shared
    {
        QList<TCANMsg> sent;
        ResultHandler onResult;
        ErrorHandler onError;
        bool open = false;
        bool stopped = false;
    };

    explicit FakeCanLink(Shared *shared) : m_shared(shared) { }
    quint32 open(const Params &, ResultHandler onResult, ErrorHandler onError) override
    {
        m_shared->onResult = std::move(onResult);
        m_shared->onError = std::move(onError);
        m_shared->open = true;
        return 0;
    }
    quint32 writeMessage(const TCANMsg &msg) override
    {
        m_shared->sent << msg;
        return 0;
    }
    void closeDongle() override { m_shared->open = false; }
    void stop() override
    {
        m_shared->stopped = true;
        m_shared->onResult = nullptr;
        m_shared->onError = nullptr;
    }

private:
    Shared *m_shared;
};
