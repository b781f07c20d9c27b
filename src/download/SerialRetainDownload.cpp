#include "download/SerialRetainDownload.h"

namespace {

TransferMachine::BootRules retainRules()
{
    TransferMachine::BootRules rules;
    rules.programStartTimeoutMs = DownloadMachine::RetainProgramStartTimeoutMs;
    return rules;
}

} // namespace

SerialRetainDownload::SerialRetainDownload(DownloadJob job)
    : DownloadMachine(std::move(job), retainRules())
{ }

void SerialRetainDownload::programRunning(MachineStep &step)
{
    step.log(QStringLiteral("Start retain values programming..."));
    step.phase(TransferPhase::Data);
    m_state = State::Programming;
    step.setWait(RetainBlockTimeoutMs);
    sendRetainFrame(step);
}

void SerialRetainDownload::serialRead(QByteArrayView bytes, MachineStep &step)
{
    if (takeRead(bytes, step))
        takeAnswers(bytes, step);
}

bool SerialRetainDownload::isAnswer(quint8 b) const
{
    return m_state != State::Programming || isFrameAnswer(b);
}

void SerialRetainDownload::answer(quint8 b, MachineStep &step)
{
    if (!bootAnswer(b, step) && m_state == State::Programming)
        frameAnswer(b, step);
}
