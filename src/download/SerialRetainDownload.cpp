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
    if (!takeRead(bytes, step))
        return;
    const quint8 b = quint8(bytes.at(0));
    if (bootAnswer(b, step) || m_state != State::Programming)
        return;
    frameAnswer(b, step);
}
