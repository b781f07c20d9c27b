#include "support/MachineDriver.h"

#include <cstring>

const QByteArray MachineDriver::LoaderBytes = QByteArray::fromHex("11223344");
const QByteArray MachineDriver::ProgramBytes = QByteArray::fromHex("aabbcc");

MachineInput MachineInput::can(quint32 id, const QByteArray &data)
{
    MachineInput input;
    input.kind = Kind::Frame;
    input.frame.ID = id;
    input.frame.Len = quint8(qMin<qsizetype>(data.size(), 8));
    std::memcpy(input.frame.Data, data.constData(), size_t(input.frame.Len));
    return input;
}

QByteArray frameKey(const TCANMsg &m)
{
    QByteArray key(4, '\0');
    for (int i = 0; i < 4; ++i)
        key[i] = char((m.ID >> (8 * (3 - i))) & 0xFF);
    key.append(reinterpret_cast<const char *>(m.Data), qMin<int>(m.Len, 8));
    return key;
}

MachineDriver::MachineDriver(std::unique_ptr<TransferMachine> machine)
    : m_machine(std::move(machine))
{ }

void MachineDriver::confirm()
{
    MachineStep step(elapsedMs, m_machine->watchdog());
    m_machine->bootConfirmed(step);
    carryOut(step);
}

void MachineDriver::silence()
{
    for (int i = 0; i < 8 && !finished(); ++i) {
        // The session starts a CAN phase that is due once it is idle.
        if (canPhaseRequests > 0 && !canPhaseStarted) {
            feed(MachineInput::canPhase());
            continue;
        }
        if (!watchdogRunning())
            return;
        elapsedMs = qMax(elapsedMs, m_machine->deadline());
        feed(MachineInput::timeout());
    }
}

void MachineDriver::pass(int ms)
{
    if (ms <= 0)
        return;
    // Time passes only when the session is idle: a CAN phase that is due has started.
    if (canPhaseRequests > 0 && !canPhaseStarted) {
        canPhaseStarted = true;
        step([&](MachineStep &s) { m_machine->canPhaseStart(s); });
    }
    elapsedMs += ms;
    if (!finished() && watchdogRunning() && m_machine->deadline() <= elapsedMs) {
        const qint64 now = elapsedMs;
        elapsedMs = m_machine->deadline();
        timeout({});
        elapsedMs = now;
    }
}

void MachineDriver::feed(const QList<MachineInput> &list)
{
    for (const MachineInput &input : list)
        feed(input);
}

void MachineDriver::step(const std::function<void(MachineStep &)> &input)
{
    MachineStep step(elapsedMs, m_machine->watchdog());
    input(step);
    carryOut(step);
    const bool canPhaseDue = canPhaseRequests > 0 && !canPhaseStarted;
    if (!finished() && !watchdogRunning() && !canPhaseDue)
        ++hangs;
}

void MachineDriver::readLine()
{
    while (!m_line.isEmpty()) {
        // The session reads away what comes while nothing is expected.
        if (m_machine->idle() || m_machine->inCanPhase()) {
            bytesDropped += m_line.size();
            m_line.clear();
            return;
        }
        const QByteArray bytes = m_line.left(qMin<qint64>(m_line.size(), m_machine->readLimit()));
        m_line.remove(0, bytes.size());
        bytesRead += bytes.size();
        wire << Exchange {false, bytes};
        step([&](MachineStep &s) { m_machine->serialRead(bytes, s); });
    }
}

void MachineDriver::feed(const MachineInput &input)
{
    ++inputs;
    switch (input.kind) {
    case MachineInput::Kind::Read:
        pass(msPerInput);
        bytesCome += input.bytes.size();
        m_line += input.bytes;
        readLine();
        return;
    case MachineInput::Kind::Frame:
        pass(msPerInput);
        wire << Exchange {false, frameKey(input.frame), true};
        step([&](MachineStep &s) { m_machine->canFrame(input.frame, s); });
        return;
    case MachineInput::Kind::Timeout:
        timeout(input.bytes);
        return;
    case MachineInput::Kind::CanPhase:
        canPhaseStarted = true;
        step([&](MachineStep &s) { m_machine->canPhaseStart(s); });
        return;
    case MachineInput::Kind::UserBreak:
        // The session closes the ports, and the watchdog with them.
        m_machine->watchdog()->deadline = -1;
        step([&](MachineStep &s) { m_machine->userBreak(s); });
        return;
    case MachineInput::Kind::LineError: {
        if (m_machine->idle())
            return;
        TransferMachine::LineError error;
        error.flags = input.code;
        step([&](MachineStep &s) { m_machine->lineError(error, s); });
        return;
    }
    case MachineInput::Kind::CanError:
        step([&](MachineStep &s) { m_machine->canError(input.code, s); });
        return;
    }
}

void MachineDriver::timeout(const QByteArray &lateBytes)
{
    // The watchdog has run out, and stopped.
    m_machine->watchdog()->deadline = -1;
    // Late bytes are read at the time-out where the machine takes them, else on arrival.
    bytesCome += lateBytes.size();
    m_line += lateBytes;
    if (!m_machine->takesLateBytes()) {
        step([&](MachineStep &s) { m_machine->timeout({}, s); });
        readLine();
        return;
    }
    const QByteArray late = m_line.left(qMin<qint64>(m_line.size(), m_machine->readLimit()));
    m_line.remove(0, late.size());
    bytesRead += late.size();
    if (!late.isEmpty())
        wire << Exchange {false, late};
    step([&](MachineStep &s) { m_machine->timeout(late, s); });
    readLine();
}

void MachineDriver::carryOut(const MachineStep &step)
{
    for (const MachineAction &a : step.actions()) {
        switch (a.kind) {
        case MachineAction::Kind::Send:
            if (finished())
                ++sendsAfterFinish;
            m_sent += a.bytes;
            sends << a.bytes;
            wire << Exchange {true, a.bytes};
            break;
        case MachineAction::Kind::SendCan:
            if (finished())
                ++sendsAfterFinish;
            m_frames << a.frame;
            wire << Exchange {true, frameKey(a.frame), true};
            break;
        case MachineAction::Kind::Log:
            logs << a.text;
            break;
        case MachineAction::Kind::Phase:
            if (phases.isEmpty() || phases.last() != a.phase)
                phases << a.phase;
            break;
        case MachineAction::Kind::Progress:
            lastProgress = a.value;
            break;
        case MachineAction::Kind::Status:
            status = a.text;
            break;
        case MachineAction::Kind::DiscardInput:
            ++discards;
            bytesDiscarded += m_line.size();
            m_line.clear();
            break;
        case MachineAction::Kind::LoadTarget: {
            const auto which = TargetProgram(a.value);
            const QString &error = unreadable[int(which)];
            MachineStep inner(elapsedMs, m_machine->watchdog());
            m_machine->targetFileRead(
                which,
                error.isEmpty() ? (which == TargetProgram::Loader ? LoaderBytes : ProgramBytes)
                                : QByteArray(),
                error, inner);
            carryOut(inner);
            break;
        }
        case MachineAction::Kind::StartCanPhase:
            ++canPhaseRequests;
            break;
        case MachineAction::Kind::Finish:
            ++finishRequests;
            break;
        case MachineAction::Kind::CloseDongle:
            ++dongleClosed;
            break;
        }
    }
}

QByteArray MachineDriver::takeSent()
{
    const QByteArray fresh = m_sent.mid(m_sentTaken);
    m_sentTaken = m_sent.size();
    return fresh;
}

QList<TCANMsg> MachineDriver::takeFrames()
{
    const QList<TCANMsg> fresh = m_frames.mid(m_framesTaken);
    m_framesTaken = m_frames.size();
    return fresh;
}

QString MachineDriver::result() const
{
    QString text = m_machine->resultText();
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return text;
}
