#include "transfer/TransferSession.h"

// Boot entry through the modem lines: a fixture wires the device's reset and boot pins to the
// adapter's DTR and RTS, and the sequence takes the place of the person at the boot prompt.
// Nothing goes out on the line before the sequence has run to its end.

namespace {

QString lineName(SerialLink::ModemLine line)
{
    return line == SerialLink::ModemLine::DTR ? QStringLiteral("DTR") : QStringLiteral("RTS");
}

} // namespace

void TransferSession::setBootLines(const QString &text, const QString &origin)
{
    m_bootLinesText = text;
    m_bootLinesOrigin = origin;
}

bool TransferSession::bootLinesAccepted()
{
    const BootLines::Sequence sequence = BootLines::parse(m_bootLinesText);
    m_bootSteps = sequence.steps;
    if (sequence.ok())
        return true;
    showError(QStringLiteral("Boot lines error"),
              QStringLiteral("Malformed boot line sequence in %1: %2\r\n\r\nNo byte was "
                             "sent. %3 will be aborted!")
                  .arg(m_bootLinesOrigin, sequence.error, m_operationWord));
    return false;
}

bool TransferSession::startBootLines()
{
    if (m_bootSteps.isEmpty())
        return false;
    enterPhase(TransferPhase::BootPrompt);
    log(QStringLiteral("Boot entry through the modem lines: %1")
            .arg(BootLines::toText(m_bootSteps)));
    if (!m_bootLinesWait)
        m_bootLinesWait = m_timers.createTimer([this] { runBootLines(); });
    m_bootStep = 0;
    emit breakAvailable(true);
    runBootLines();
    return true;
}

void TransferSession::runBootLines()
{
    while (m_bootStep >= 0 && m_bootStep < m_bootSteps.size()) {
        const BootLines::Step step = m_bootSteps.at(m_bootStep++);
        if (step.kind == BootLines::Step::Kind::Wait) {
            if (step.value == 0)
                continue;
            m_bootLinesWait->setInterval(step.value);
            m_bootLinesWait->start();
            return;
        }
        const SerialLink::ModemLine line = step.kind == BootLines::Step::Kind::Dtr
            ? SerialLink::ModemLine::DTR
            : SerialLink::ModemLine::RTS;
        const SerialLink::ModemResult result = m_serial.setModemLine(line, step.value != 0);
        if (result == SerialLink::ModemResult::Set)
            continue;
        const QString port
            = m_record.portName.isEmpty() ? QStringLiteral("the port") : m_record.portName;
        QString text;
        if (result == SerialLink::ModemResult::CannotSet) {
            text = QStringLiteral("Cannot set the %1 line of %2: the port has no modem lines (a "
                                  "pseudo-terminal has none)%3, so the boot line sequence in %4 "
                                  "cannot run.")
                       .arg(lineName(line), port,
                            line == SerialLink::ModemLine::RTS
                                ? QStringLiteral(", or hardware flow control holds RTS")
                                : QString(),
                            m_bootLinesOrigin);
        } else {
            QString reason = m_serial.lastErrorText();
            if (reason.trimmed().isEmpty())
                reason = QStringLiteral("Unknown Error!");
            text = QStringLiteral("Setting the %1 line of %2 failed: %3")
                       .arg(lineName(line), port, reason);
        }
        m_bootStep = -1;
        showError(QStringLiteral("Boot lines error"),
                  text
                      + QStringLiteral("\r\n\r\nNo byte was sent. %1 will be aborted!")
                            .arg(m_operationWord));
        closePorts();
        endWithoutReport();
        return;
    }
    if (m_bootStep < 0)
        return;
    // The sequence has run: the device waits in its bootstrap mode, as after a confirmed prompt.
    m_bootStep = -1;
    bootEntered();
}

bool TransferSession::stopBootLines()
{
    if (m_bootLinesWait)
        m_bootLinesWait->stop();
    const bool running = m_bootStep >= 0;
    m_bootStep = -1;
    return running;
}
