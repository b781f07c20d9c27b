#include "cli/CliTransferRunner.h"

#include "cli/CliCommand.h"
#include "cli/CliSignals.h"
#include "transfer/TransferMessages.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

PromptAnswer readPromptAnswer()
{
    char buffer[256];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0)
        return PromptAnswer::EndOfInput;
    return QByteArray(buffer, int(n)).contains('\n') ? PromptAnswer::Enter : PromptAnswer::None;
}

QString bootPromptDeclinedText()
{
    return QStringLiteral("Boot prompt declined: nothing was sent.");
}

CliTransferRunner::CliTransferRunner(TransferSession &transfer, bool assumeYes,
                                     const CliFeedOptions &feeds)
    : m_transfer(transfer)
    , m_feeds(std::make_unique<CliTransferFeeds>(transfer, feeds))
    , m_json(feeds.json)
    , m_assumeYes(assumeYes)
    , m_total(transfer.record().totalBytes)
    , m_stderrIsTerminal(::isatty(STDERR_FILENO) == 1)
{
    connect(&m_transfer, &TransferSession::event, this, &CliTransferRunner::onEvent);
    connect(&m_transfer, &TransferSession::finalReport, this, &CliTransferRunner::onReport);
    connect(&m_transfer, &TransferSession::errorBox, this,
            [this](const QString &title, const QString &text, const QString &hint) {
                clearProgress();
                printErr(prefixed(title + QStringLiteral(": ")
                                  + TransferSession::plainText(TransferMessages::withHint(text, hint))));
            });
    connect(&m_transfer, &TransferSession::bootPromptRequested, this,
            &CliTransferRunner::onBootPrompt);
}

CliTransferRunner::~CliTransferRunner()
{
    delete m_stdinNotifier;
}

void CliTransferRunner::setPortLabel(const QString &port)
{
    m_portLabel = port;
    // Several transfers share the terminal: their bars would overwrite each other.
    m_showProgress = port.isEmpty();
    m_feeds->setPort(port); // --json: each line says which transfer it belongs to
}

void CliTransferRunner::setBootPromptHandler(std::function<void(const QString &)> handler)
{
    m_bootPromptHandler = std::move(handler);
}

TransferRecord CliTransferRunner::run()
{
    // SIGINT, SIGTERM and SIGHUP break this transfer while it runs. A run over several ports
    // holds the signals itself and breaks every runner.
    const std::shared_ptr<CliSignals> breaks = CliSignals::acquire();
    connect(breaks.get(), &CliSignals::interrupted, this, &CliTransferRunner::interrupt);

    QEventLoop loop;
    connect(this, &CliTransferRunner::finished, &loop, &QEventLoop::quit);
    start();
    if (!m_finished)
        loop.exec();

    clearProgress();
    std::fflush(stdout);
    return m_record;
}

void CliTransferRunner::start()
{
    m_transfer.start();
}

QString CliTransferRunner::prefixed(const QString &line) const
{
    if (m_portLabel.isEmpty())
        return line;
    if (line.isEmpty())
        return QStringLiteral("[%1]").arg(m_portLabel);
    return QStringLiteral("[%1] %2").arg(m_portLabel, line);
}

void CliTransferRunner::printBlock(const QString &text)
{
    // Alone, a block is set off by an empty line; among several ports every line names its port.
    if (m_portLabel.isEmpty()) {
        printOut(QString());
        printOut(text);
        return;
    }
    for (const QString &line : text.split(u'\n'))
        printOut(prefixed(line));
}

void CliTransferRunner::onEvent(const TransferEvent &event)
{
    switch (event.kind) {
    case TransferEvent::Kind::Log:
        onLog(event.text);
        break;
    case TransferEvent::Kind::Progress:
        onProgress(event.bytes, event.total);
        break;
    case TransferEvent::Kind::Finished:
        m_record = event.record;
        m_finished = true;
        if (m_record.compared && !m_json) {
            clearProgress();
            printBlock(m_record.compareText);
        }
        std::fflush(stdout);
        if (const QString noAnswer
            = TransferMessages::noAnswerText(m_record.failedPhase, m_record.reportText);
            !noAnswer.isEmpty())
            printErr(prefixed(TransferSession::plainText(noAnswer)));
        emit finished();
        break;
    case TransferEvent::Kind::Started:
    case TransferEvent::Kind::Phase:
        break;
    }
}

void CliTransferRunner::onReport(const QString &text)
{
    if (m_json)
        return; // the finished line carries the report
    clearProgress();
    printBlock(TransferSession::plainText(text));
}

void CliTransferRunner::onLog(const QString &line)
{
    if (m_json)
        return;
    clearProgress();
    printOut(prefixed(line));
    std::fflush(stdout);
    drawProgress();
}

void CliTransferRunner::onProgress(qint64 bytes, qint64 total)
{
    // The bytes the transfer moves, as the JSON feed and the report count them: the span of
    // addresses would count the blocks a download leaves out.
    m_total = std::max<qint64>(total, 0);
    m_bytes = qBound<qint64>(0, bytes, m_total);
    // The rate counts from the first data byte: the loader, the erase and the boot prompt
    // would drag it down for the whole run.
    if (!m_rateStarted) {
        m_rateStarted = m_bytes > 0;
        m_rate.restart(m_total, m_bytes);
    } else {
        m_rate.setTotal(m_total);
        m_rate.update(m_bytes);
    }
    // A redraw per block would cost more than the block itself on a fast line.
    if (!m_redrawClock.isValid() || m_redrawClock.elapsed() >= 100) {
        m_redrawClock.start();
        drawProgress();
    }
}

void CliTransferRunner::drawProgress()
{
    if (m_json || !m_showProgress || !m_stderrIsTerminal || m_bytes <= 0)
        return;
    constexpr int Width = 30;
    const int filled = m_total > 0 ? int(m_bytes * Width / m_total) : Width;
    const QString rate = m_rate.hasRate() ? TransferRate::rateText(m_rate.bytesPerSecond())
                                           : QStringLiteral("--");
    const qint64 secondsLeft = m_rate.secondsLeft();
    const QString left = secondsLeft >= 0 ? TransferRate::durationText(secondsLeft)
                                          : QStringLiteral("--:--");
    const QString bar = QStringLiteral("\r[%1%2] %3/%4 bytes  %5  %6 left\x1b[K")
                            .arg(QString(filled, u'#'), QString(Width - filled, u' '))
                            .arg(m_bytes)
                            .arg(m_total)
                            .arg(rate, left);
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
    if (m_bootPromptHandler) {
        m_bootPromptHandler(text);
        return;
    }
    clearProgress();
    printErr(TransferSession::plainText(text));
    printErr(QStringLiteral("Press Enter to continue, Ctrl+C to cancel."));
    m_stdinLine.clear();
    m_stdinNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read);
    connect(m_stdinNotifier, &QSocketNotifier::activated, this,
            &CliTransferRunner::onStdinReadable);
}

void CliTransferRunner::onStdinReadable()
{
    const PromptAnswer answer = readPromptAnswer();
    if (answer == PromptAnswer::None)
        return;
    m_stdinNotifier->setEnabled(false);
    m_stdinNotifier->deleteLater();
    m_stdinNotifier = nullptr;
    if (answer == PromptAnswer::EndOfInput)
        declineBootPrompt();
    else
        m_transfer.answerBootPrompt(true);
}

void CliTransferRunner::declineBootPrompt()
{
    clearProgress();
    printErr(bootPromptDeclinedText());
    m_transfer.answerBootPrompt(false);
}

void CliTransferRunner::interrupt()
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
