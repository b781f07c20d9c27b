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
    enter(State::Programming);
    step.setWait(RetainBlockTimeoutMs);
    sendRetainFrame(step);
}

bool SerialRetainDownload::isAnswer(quint8 b) const
{
    return state() != State::Programming || isFrameAnswer(b);
}

void SerialRetainDownload::answer(quint8 b, MachineStep &step)
{
    if (!bootAnswer(b, step) && state() == State::Programming)
        frameAnswer(b, step);
}
