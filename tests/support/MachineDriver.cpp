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

MachineDriver::MachineDriver(std::unique_ptr<TransferMachine> machine)
    : m_machine(std::move(machine))
{
    wait = m_machine->initialWaitMs();
}

void MachineDriver::confirm()
{
    MachineStep step(elapsedMs);
    m_machine->bootConfirmed(step);
    carryOut(step);
}

void MachineDriver::silence()
{
    for (int i = 0; i < 8 && !finished(); ++i)
        feed(MachineInput::timeout());
}

void MachineDriver::feed(const QList<MachineInput> &inputs)
{
    for (const MachineInput &input : inputs)
        feed(input);
}

void MachineDriver::feed(const MachineInput &input)
{
    MachineStep step(elapsedMs);
    switch (input.kind) {
    case MachineInput::Kind::Read:
        // The session drops what comes while nothing is expected, and reads no more than the
        // machine takes.
        if (m_machine->idle() || m_machine->inCanPhase())
            return;
        m_machine->serialRead(QByteArrayView(input.bytes)
                                  .first(qMin<qint64>(input.bytes.size(), m_machine->readLimit())),
                              step);
        break;
    case MachineInput::Kind::Frame:
        m_machine->canFrame(input.frame, step);
        break;
    case MachineInput::Kind::Timeout:
        watchdogRunning = false;
        m_machine->timeout(
            m_machine->takesLateBytes() ? QByteArrayView(input.bytes) : QByteArrayView(), step);
        break;
    case MachineInput::Kind::CanPhase:
        canPhaseStarted = true;
        m_machine->canPhaseStart(step);
        break;
    case MachineInput::Kind::UserBreak:
        watchdogRunning = false;
        m_machine->userBreak(step);
        break;
    case MachineInput::Kind::LineError: {
        if (m_machine->idle())
            return;
        TransferMachine::LineError error;
        error.flags = input.code;
        m_machine->lineError(error, step);
        break;
    }
    case MachineInput::Kind::CanError:
        m_machine->canError(input.code, step);
        break;
    }
    carryOut(step);
    const bool canPhaseDue = canPhaseRequests > 0 && !canPhaseStarted;
    if (!finished() && !watchdogRunning && !canPhaseDue)
        ++hangs;
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
            break;
        case MachineAction::Kind::SendCan:
            if (finished())
                ++sendsAfterFinish;
            m_frames << a.frame;
            break;
        case MachineAction::Kind::Arm:
            watchdogRunning = true;
            break;
        case MachineAction::Kind::Stop:
            watchdogRunning = false;
            break;
        case MachineAction::Kind::SetWait:
            wait = int(a.value);
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
            break;
        case MachineAction::Kind::LoadTarget: {
            const auto which = TargetProgram(a.value);
            const QString &error = unreadable[int(which)];
            MachineStep inner(elapsedMs);
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
