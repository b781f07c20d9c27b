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
    ++m_transmissions;
    // Armed whatever the write reports: output the driver took but never sends (flow control
    // held off, a stalled adapter) brings no transmit-empty event to arm it later.
    arm();
}

void MachineStep::sendCan(const TCANMsg &frame)
{
    add(MachineAction::Kind::SendCan).frame = frame;
    ++m_transmissions;
}

void MachineStep::takeBack(qsizetype index, const MachineWatchdog &was)
{
    m_actions.resize(index);
    if (m_watchdog)
        *m_watchdog = was;
}

void MachineStep::arm()
{
    if (m_watchdog && m_watchdog->deadline < 0)
        m_watchdog->deadline = m_elapsedMs + m_watchdog->waitMs;
}

void MachineStep::stop()
{
    if (m_watchdog)
        m_watchdog->deadline = -1;
}

void MachineStep::setWait(int ms)
{
    if (!m_watchdog || m_watchdog->waitMs == ms)
        return;
    m_watchdog->waitMs = ms;
    if (m_watchdog->deadline >= 0)
        m_watchdog->deadline = m_elapsedMs + ms;
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
