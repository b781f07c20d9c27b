#include "transfer/TransferBase.h"

#include "transfer/LoaderFile.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QPointer>

#include "base/IdleSlot.h"

Q_LOGGING_CATEGORY(lcTransfer, "brasvik.transfer", QtWarningMsg)

namespace {

constexpr int InitialWatchdogMs = 2000;

QString bareName(const QString &path)
{
    return QFileInfo(path).fileName();
}

} // namespace

TransferBase::TransferBase(SerialLink &serial, CanLinkFactory canFactory, QObject *parent,
                           TimerSource &timers)
    : QObject(parent)
    , m_serial(serial)
    , m_canFactory(std::move(canFactory))
    , m_timers(timers)
    , m_watchdog(timers.createTimer([this] { onTimeout(); }))
{
    m_watchdog->setInterval(InitialWatchdogMs);
    // Installed while the port is closed, so that the port reports all three kinds of event.
    SerialLink::Handlers handlers;
    handlers.rxChar = [this] {
        onSerialRx();
    };
    handlers.txEmpty = [this] {
        onSerialTxEmpty();
    };
    handlers.error = [this] {
        onSerialError();
    };
    m_serial.setHandlers(std::move(handlers));
}

TransferBase::~TransferBase()
{
    shutdown();
}

void TransferBase::shutdown()
{
    // Handlers first: closing must not find a handler that still points here.
    m_serial.clearHandlers();
    closePorts();
}

void TransferBase::start()
{
    postIdle(&TransferBase::startTransfer);
}

void TransferBase::postIdle(void (TransferBase::*action)())
{
    // The slot outlives the transfer; a guard drops an action whose transfer is gone.
    QPointer<TransferBase> guard(this);
    IdleSlot::post(m_timers, [guard, action] {
        if (guard)
            (guard.data()->*action)();
    });
}

void TransferBase::scheduleFinish()
{
    postIdle(&TransferBase::finishTransfer);
}

void TransferBase::scheduleCanPhase()
{
    postIdle(&TransferBase::onStartCanPhase);
}

void TransferBase::startTransfer()
{
    if (m_finished)
        return;
    for (const QString &file : {m_loaderFile, m_programFile}) {
        if (!QFileInfo(file).isFile()) {
            emit errorBox(QStringLiteral("Brasvik"),
                          QStringLiteral("Missing bootstrap loader file!\r\n\r\nFile: %1\r\n\r\n"
                                         "%2 will be aborted!")
                              .arg(bareName(file), m_operationWord));
            endWithoutReport(3);
            return;
        }
    }
    if (!openPorts()) {
        closePorts();
        endWithoutReport(3);
        return;
    }
    m_bootPromptPending = true;
    emit bootPromptRequested(
        QStringLiteral("Please press the boot pushbutton\r\nand restart your hardware now!"));
}

bool TransferBase::openPorts()
{
    if (m_useCan) {
        m_can = m_canFactory ? m_canFactory() : nullptr;
        if (!m_can) {
            emit errorBox(QStringLiteral("Open PEAK-CAN-Dongle error"), CANErrorText(0x1400));
            return false;
        }
        QPointer<TransferBase> guard(this);
        const quint32 result = m_can->open(
            m_canParams,
            [guard](const TCANMsg &msg) {
                if (guard)
                    guard->onCanResult(msg);
            },
            [guard](quint32 code) {
                if (guard)
                    guard->onCanError(code);
            });
        if (result != 0) {
            emit errorBox(QStringLiteral("Open PEAK-CAN-Dongle error"), CANErrorText(result));
            return false;
        }
    }
    m_serial.setBaudrate(m_baudrateOrdinal);
    emit baudrateChanged(baudrateText(m_baudrateOrdinal));
    const SerialLink::OpenResult opened = m_serial.open();
    if (opened.status == SerialLink::OpenStatus::Opened && m_serial.isActive())
        return true;
    // A port that refuses to open ends the transfer like one that did not become active.
    QString text = opened.status == SerialLink::OpenStatus::Raised ? opened.message
                                                                   : m_serial.lastErrorText();
    if (text.trimmed().isEmpty())
        text = QStringLiteral("Unknown Error!");
    emit errorBox(QStringLiteral("Open COM error"), text);
    return false;
}

void TransferBase::closePorts()
{
    m_watchdog->stop();
    if (m_serial.isActive())
        m_serial.close();
    if (m_can) {
        m_can->stop();
        m_can.reset();
    }
}

void TransferBase::answerBootPrompt(bool confirmed)
{
    if (!m_bootPromptPending || m_finished)
        return;
    m_bootPromptPending = false;
    if (!confirmed) {
        closePorts();
        endWithoutReport(3);
        return;
    }
    emit breakAvailable(true);
    m_startMs = m_timers.monotonicMs();
    onBootConfirmed();
}

void TransferBase::userBreak()
{
    if (m_finished)
        return;
    if (m_bootPromptPending) {
        answerBootPrompt(false);
        return;
    }
    closePorts();
    m_report.resultText = abortedPrefix() + QStringLiteral("User break!");
    onUserBreak();
    endSoon();
}

void TransferBase::closedByUser()
{
    closePorts();
    m_bootPromptPending = false;
    m_finished = true;
}

void TransferBase::endWithoutReport(int code)
{
    m_finished = true;
    m_report.resultCode = code;
    m_report.outcome = Outcome::Aborted;
    emit breakAvailable(false);
    emit finished(m_report, false);
}

void TransferBase::finishTransfer()
{
    if (m_finished)
        return;
    closePorts();
    m_finished = true;
    emit breakAvailable(false);
    emit finished(m_report, true);
}

void TransferBase::onTimeout()
{
    log(QStringLiteral("TIMEOUT"));
    scheduleFinish();
}

void TransferBase::onSerialTxEmpty()
{
    if (m_serial.isActive())
        armWatchdog();
}

void TransferBase::sendSerial(const QByteArray &bytes)
{
    m_txBuffer = bytes;
    if (m_serial.write(m_txBuffer) == 0)
        armWatchdog();
}

void TransferBase::sendByte(quint8 byte)
{
    sendSerial(QByteArray(1, char(byte)));
}

void TransferBase::sendCan(const TCANMsg &msg)
{
    if (m_can)
        m_can->writeMessage(msg);
}

void TransferBase::armWatchdog()
{
    if (!m_watchdog->isActive())
        m_watchdog->start();
}

void TransferBase::stopWatchdog()
{
    m_watchdog->stop();
}

void TransferBase::setWatchdogInterval(int ms)
{
    if (m_watchdog->interval() != ms)
        m_watchdog->setInterval(ms);
}

void TransferBase::endSoon()
{
    setWatchdogInterval(AbortDelayMs);
    armWatchdog();
}

void TransferBase::log(const QString &line)
{
    qCDebug(lcTransfer) << line;
    emit logLine(line);
}

void TransferBase::setResult(int code, const QString &text, Outcome outcome)
{
    m_report.resultText = text;
    setResultCode(code, outcome);
}

void TransferBase::setResultCode(int code, Outcome outcome)
{
    m_report.resultCode = code;
    m_report.outcome = outcome;
}

qint64 TransferBase::elapsedMs() const
{
    return m_startMs >= 0 ? m_timers.monotonicMs() - m_startMs : 0;
}

bool TransferBase::loadProgram(const QString &path, QByteArray *bytes)
{
    QStringList lines;
    QString error;
    if (!LoaderFile::readLines(path, &lines, &error)) {
        log(error);
        return false;
    }
    *bytes = ConvertLoaderFile(lines);
    return true;
}

QString TransferBase::plainText(const QString &text)
{
    QString plain = text;
    plain.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return plain;
}

QString TransferBase::baudrateText(int ordinal)
{
    switch (ordinal) {
    case 4:
        return QStringLiteral("19200 bit/s");
    case 6:
        return QStringLiteral("38400 bit/s");
    case 7:
        return QStringLiteral("57600 bit/s");
    case 8:
        return QStringLiteral("115200 bit/s");
    default:
        return QStringLiteral("9600 bit/s");
    }
}
