#include "cli/CliTransferRunner.h"

#include "cli/CliCommand.h"
#include "cli/CliSignals.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

namespace {

QString formatDuration(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

CliTransferRunner::CliTransferRunner(TransferBase &transfer, bool assumeYes)
    : m_transfer(transfer)
    , m_assumeYes(assumeYes)
    , m_minimum(transfer.record().startAddress)
    , m_maximum(qMax(m_minimum, qint64(transfer.record().endAddress)))
    , m_position(m_minimum)
    , m_stderrIsTerminal(::isatty(STDERR_FILENO) == 1)
{
    connect(&m_transfer, &TransferBase::event, this, &CliTransferRunner::onEvent);
    connect(&m_transfer, &TransferBase::finalReport, this, &CliTransferRunner::onReport);
    connect(&m_transfer, &TransferBase::errorBox, this,
            [this](const QString &title, const QString &text) {
                clearProgress();
                printErr(title + QStringLiteral(": ") + TransferBase::plainText(text));
            });
    connect(&m_transfer, &TransferBase::bootPromptRequested, this,
            &CliTransferRunner::onBootPrompt);
    m_signals = CliSignals::acquire();
    connect(m_signals.get(), &CliSignals::interrupted, this, &CliTransferRunner::onInterrupt);
}

CliTransferRunner::~CliTransferRunner()
{
    delete m_stdinNotifier;
}

TransferRecord CliTransferRunner::run()
{
    QEventLoop loop;
    connect(&m_transfer, &TransferBase::event, &loop, [&](const TransferEvent &event) {
        if (event.kind == TransferEvent::Kind::Finished)
            loop.quit();
    });
    m_progressClock.start();
    m_transfer.start();
    if (!m_finished)
        loop.exec();

    clearProgress();
    std::fflush(stdout);
    return m_record;
}

void CliTransferRunner::onEvent(const TransferEvent &event)
{
    switch (event.kind) {
    case TransferEvent::Kind::Log:
        onLog(event.text);
        break;
    case TransferEvent::Kind::Progress:
        onProgress(event.position);
        break;
    case TransferEvent::Kind::Finished:
        m_record = event.record;
        m_finished = true;
        if (m_record.compared) {
            clearProgress();
            printOut(QString());
            printOut(m_record.compareText);
        }
        break;
    case TransferEvent::Kind::Started:
    case TransferEvent::Kind::Phase:
        break;
    }
}

void CliTransferRunner::onReport(const QString &text)
{
    clearProgress();
    printOut(QString());
    printOut(TransferBase::plainText(text));
}

void CliTransferRunner::onLog(const QString &line)
{
    clearProgress();
    printOut(line);
    std::fflush(stdout);
    drawProgress();
}

void CliTransferRunner::onProgress(qint64 position)
{
    m_position = position;
    // A redraw per block would cost more than the block itself on a fast line.
    if (!m_redrawClock.isValid() || m_redrawClock.elapsed() >= 100) {
        m_redrawClock.start();
        drawProgress();
    }
}

void CliTransferRunner::drawProgress()
{
    if (!m_stderrIsTerminal || m_position <= m_minimum)
        return;
    const qint64 total = m_maximum - m_minimum;
    const qint64 done = qBound<qint64>(0, m_position - m_minimum, total);
    constexpr int Width = 30;
    const int filled = total > 0 ? int(done * Width / total) : Width;
    const double seconds = m_progressClock.elapsed() / 1000.0;
    const double rate = seconds > 0 ? done / seconds : 0;
    QString left = QStringLiteral("--:--");
    if (rate > 0)
        left = formatDuration(qint64((total - done) / rate));
    const QString bar = QStringLiteral("\r[%1%2] %3/%4 bytes  %5 KiB/s  %6 left\x1b[K")
                            .arg(QString(filled, u'#'), QString(Width - filled, u' '))
                            .arg(done)
                            .arg(total)
                            .arg(rate / 1024.0, 0, 'f', 1)
                            .arg(left);
    std::fputs(bar.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    m_progressShown = true;
}

void CliTransferRunner::clearProgress()
{
    if (!m_progressShown)
        return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    m_progressShown = false;
}

void CliTransferRunner::onBootPrompt(const QString &text)
{
    if (m_assumeYes) {
        m_transfer.answerBootPrompt(true);
        return;
    }
    clearProgress();
    printErr(TransferBase::plainText(text));
    printErr(QStringLiteral("Press Enter to continue, Ctrl+C to cancel."));
    m_stdinLine.clear();
    m_stdinNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read);
    connect(m_stdinNotifier, &QSocketNotifier::activated, this,
            &CliTransferRunner::onStdinReadable);
}

void CliTransferRunner::onStdinReadable()
{
    char buffer[256];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    const bool endOfInput = n <= 0;
    const bool enter = n > 0 && QByteArray(buffer, int(n)).contains('\n');
    if (!endOfInput && !enter)
        return;
    m_stdinNotifier->setEnabled(false);
    m_stdinNotifier->deleteLater();
    m_stdinNotifier = nullptr;
    // End of input declines the prompt: no one is there to press the button.
    if (endOfInput)
        declineBootPrompt();
    else
        m_transfer.answerBootPrompt(true);
}

void CliTransferRunner::declineBootPrompt()
{
    clearProgress();
    printErr(QStringLiteral("Boot prompt declined: nothing was sent."));
    m_transfer.answerBootPrompt(false);
}

void CliTransferRunner::onInterrupt()
{
    if (m_transfer.hasFinished())
        return;
    if (m_stdinNotifier) {
        m_stdinNotifier->setEnabled(false);
        m_stdinNotifier->deleteLater();
        m_stdinNotifier = nullptr;
    }
    clearProgress();
    if (m_transfer.bootPromptPending())
        declineBootPrompt();
    else
        m_transfer.userBreak();
}
