#include "transfer/LinkTrace.h"

namespace {

// A serial link that passes everything on and tells the trace what went through.
class TappedSerialLink : public SerialLink
{
public:
    TappedSerialLink(std::unique_ptr<SerialLink> inner, std::shared_ptr<LinkTrace> trace)
        : m_inner(std::move(inner)), m_trace(std::move(trace))
    { }

    void setHandlers(Handlers handlers) override { m_inner->setHandlers(std::move(handlers)); }
    void clearHandlers() override { m_inner->clearHandlers(); }
    void setDevicePath(const QString &path) override { m_inner->setDevicePath(path); }
    void setBaudrate(int ordinal) override { m_inner->setBaudrate(ordinal); }
    OpenResult open() override { return m_inner->open(); }
    bool isActive() const override { return m_inner->isActive(); }
    void close() override { m_inner->close(); }
    qint64 write(const QByteArray &bytes) override
    {
        m_trace->serial(true, bytes);
        return m_inner->write(bytes);
    }
    qint64 inputCount() override { return m_inner->inputCount(); }
    qint64 read(char *buffer, qint64 count) override
    {
        const qint64 n = m_inner->read(buffer, count);
        if (n > 0)
            m_trace->serial(false, QByteArray(buffer, n));
        return n;
    }
    void discardInput() override
    {
        // Late answers of an earlier session are read away where the link lets us see them.
        SerialLink::discardInput();
        m_inner->discardInput();
    }
    bool takeLineErrors(quint32 *flags) override { return m_inner->takeLineErrors(flags); }
    QString lastErrorText() const override { return m_inner->lastErrorText(); }
    ModemResult setModemLine(ModemLine line, bool on) override
    {
        return m_inner->setModemLine(line, on);
    }

private:
    std::unique_ptr<SerialLink> m_inner;
    std::shared_ptr<LinkTrace> m_trace;
};

QByteArray payload(const TCANMsg &msg)
{
    return QByteArray(reinterpret_cast<const char *>(msg.Data), qMin<int>(msg.Len, 8));
}

class TappedCanLink : public CanLink
{
public:
    TappedCanLink(std::unique_ptr<CanLink> inner, std::shared_ptr<LinkTrace> trace)
        : m_inner(std::move(inner)), m_trace(std::move(trace))
    { }

    quint32 open(const Params &params, ResultHandler onResult, ErrorHandler onError) override
    {
        return m_inner->open(
            params,
            [trace = m_trace, onResult = std::move(onResult)](const TCANMsg &msg) {
                trace->can(false, msg.ID, payload(msg));
                onResult(msg);
            },
            std::move(onError));
    }
    quint32 writeMessage(const TCANMsg &msg) override
    {
        m_trace->can(true, msg.ID, payload(msg));
        return m_inner->writeMessage(msg);
    }
    void closeDongle() override { m_inner->closeDongle(); }
    void stop() override { m_inner->stop(); }

private:
    std::unique_ptr<CanLink> m_inner;
    std::shared_ptr<LinkTrace> m_trace;
};

} // namespace

LinkTrace::LinkTrace()
{
    m_clock.start();
}

bool LinkTrace::open(const QString &path, QString *error)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        *error = m_file.errorString();
        return false;
    }
    m_file.write("# brasvik-cli trace 1: <us> H>D|D>H SER <hex> | <us> H>D|D>H CAN <id> <hex> | "
                 "<us> EVT <text>\n");
    m_file.flush();
    m_clock.start();
    return true;
}

void LinkTrace::serial(bool fromHost, const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    traffic((fromHost ? "H>D SER " : "D>H SER ") + bytes.toHex().toUpper());
}

void LinkTrace::can(bool fromHost, quint32 id, const QByteArray &data)
{
    traffic((fromHost ? "H>D CAN " : "D>H CAN ")
            + QByteArray::number(id, 16).toUpper().rightJustified(3, '0') + ' '
            + (data.isEmpty() ? QByteArray("-") : data.toHex().toUpper()));
}

void LinkTrace::event(const QString &text)
{
    QString oneLine = text;
    oneLine.replace(QLatin1Char('\n'), QLatin1Char(' '));
    oneLine.remove(QLatin1Char('\r'));
    line("EVT " + oneLine.toUtf8());
}

void LinkTrace::traffic(const QByteArray &rest)
{
    line(rest);
    if (m_observer)
        m_observer();
}

void LinkTrace::line(const QByteArray &rest)
{
    if (!m_file.isOpen())
        return;
    // Written through at once: a trace is read after a crash or a power loss too.
    m_file.write(QByteArray::number(m_clock.nsecsElapsed() / 1000) + ' ' + rest + '\n');
    m_file.flush();
}

TransferLinks LinkTrace::tapped(const TransferLinks &links, std::shared_ptr<LinkTrace> trace)
{
    TransferLinks result = links;
    result.serialTap = [trace](std::unique_ptr<SerialLink> link) -> std::unique_ptr<SerialLink> {
        return std::make_unique<TappedSerialLink>(std::move(link), trace);
    };
    result.canTap = [trace](std::unique_ptr<CanLink> link) -> std::unique_ptr<CanLink> {
        return std::make_unique<TappedCanLink>(std::move(link), trace);
    };
    return result;
}
