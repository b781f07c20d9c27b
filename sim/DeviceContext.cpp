#include "DeviceContext.h"

DeviceContext::DeviceContext(const SimOptions &opts, DeviceMemory &mem, DeviceOutput &output,
                             SimSummary &sum)
    : options(opts)
    , memory(mem)
    , summary(sum)
    , m_output(output)
    , m_refusalsLeft(opts.refuseBlock > 0 ? opts.refuseCount : 0)
{ }

bool DeviceContext::silencedAt(const FaultStep &step)
{
    if (!m_silent && options.silentFrom && step.rank() >= options.silentFrom->rank()) {
        m_silent = true;
        fault(QStringLiteral("silent from %1").arg(step.text()));
    }
    return m_silent;
}

void DeviceContext::answer(const FaultStep &step, const QByteArray &bytes, SimClock::Micros at)
{
    if (silencedAt(step))
        return;
    m_output.sendSerial(bytes, at);
    maybeStray(step, at);
}

void DeviceContext::answer(FaultStep::Kind kind, quint8 byte, SimClock::Micros at)
{
    FaultStep step;
    step.kind = kind;
    answer(step, QByteArray(1, char(byte)), at);
}

void DeviceContext::sendCan(const FaultStep &step, quint32 id, const QByteArray &data,
                            SimClock::Micros at)
{
    if (silencedAt(step))
        return;
    m_output.sendCan(id, data, at);
}

void DeviceContext::event(const QString &text)
{
    m_output.event(text);
}

void DeviceContext::fault(const QString &text)
{
    summary.faultsInjected << text;
    m_output.event(QStringLiteral("fault: ") + text);
}

void DeviceContext::ended(bool complete, const QString &result, SimClock::Micros at)
{
    summary.result = result;
    m_output.event(QStringLiteral("end: ") + result);
    m_output.transferEnded(complete, at);
}

bool DeviceContext::takeRefusal(int block)
{
    if (block != options.refuseBlock || m_refusalsLeft <= 0)
        return false;
    --m_refusalsLeft;
    fault(QStringLiteral("refused block %1").arg(block));
    return true;
}

bool DeviceContext::compareErrorAt(int block)
{
    if (block != options.compareErrorBlock)
        return false;
    fault(QStringLiteral("compare error at block %1").arg(block));
    return true;
}

bool DeviceContext::takeBadCheck(int block)
{
    if (block != options.badCheckBlock || m_badCheckDone)
        return false;
    m_badCheckDone = true;
    fault(QStringLiteral("wrong check byte in block %1").arg(block));
    return true;
}

bool DeviceContext::takeShortBlock(int block)
{
    if (block != options.shortBlock || m_shortDone)
        return false;
    m_shortDone = true;
    fault(QStringLiteral("block %1 cut short").arg(block));
    return true;
}

void DeviceContext::sendStartupStray(SimClock::Micros at)
{
    FaultStep startup;
    startup.kind = FaultStep::Kind::Startup;
    maybeStray(startup, at);
}

void DeviceContext::maybeStray(const FaultStep &step, SimClock::Micros at)
{
    if (m_strayDone || !options.strayAt || !(*options.strayAt == step))
        return;
    m_strayDone = true;
    fault(QStringLiteral("stray bytes %1 after %2")
              .arg(QString::fromLatin1(options.strayBytes.toHex().toUpper()), step.text()));
    m_output.sendSerial(options.strayBytes, at + SimClock::Micros(options.strayDelayMs) * 1000);
}
