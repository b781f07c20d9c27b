#include "transfer/MachineStep.h"

MachineAction &MachineStep::add(MachineAction::Kind kind)
{
    MachineAction action;
    action.kind = kind;
    m_actions.append(std::move(action));
    return m_actions.last();
}

void MachineStep::send(const QByteArray &bytes)
{
    add(MachineAction::Kind::Send).bytes = bytes;
    // Armed whatever the write reports: output the driver took but never sends (flow control
    // held off, a stalled adapter) brings no transmit-empty event to arm it later.
    arm();
}

void MachineStep::sendCan(const TCANMsg &frame)
{
    add(MachineAction::Kind::SendCan).frame = frame;
}

void MachineStep::setWait(int ms)
{
    add(MachineAction::Kind::SetWait).value = ms;
}

void MachineStep::log(const QString &line)
{
    add(MachineAction::Kind::Log).text = line;
}

void MachineStep::phase(TransferPhase phase)
{
    add(MachineAction::Kind::Phase).phase = phase;
}

void MachineStep::progress(qint64 position)
{
    add(MachineAction::Kind::Progress).value = position;
}

void MachineStep::status(const QString &text)
{
    add(MachineAction::Kind::Status).text = text;
}

void MachineStep::loadTarget(TargetProgram which)
{
    add(MachineAction::Kind::LoadTarget).value = qint64(which);
}
