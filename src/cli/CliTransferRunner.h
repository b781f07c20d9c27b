#pragma once

#include "cli/CliTransferFeeds.h"
#include "transfer/TransferSession.h"
#include "transfer/TransferRate.h"

#include <QElapsedTimer>
#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

// What stdin said to a boot prompt, read when it became readable: Enter confirms, end of input
// declines (no one is there to press the button), anything else is not an answer yet.
enum class PromptAnswer { None, Enter, EndOfInput };
PromptAnswer readPromptAnswer();
// The line a single run and a batch print when the prompt is declined.
QString bootPromptDeclinedText();

// Presents a transfer on the terminal, as the window does on the screen: log lines on stdout,
// then an empty line and the final report (and, after a compare, an empty line and the compare's
// report); error boxes, the boot prompt and a live progress bar on stderr. Ctrl+C is the user
// break ("Close COM"); before the boot prompt is answered it declines the prompt. It follows the
// transfer's events; the exit status comes from the final record (TransferOutcome.h). SIGTERM
// and SIGHUP count as Ctrl+C (CliSignals.h).
// The run goes into the service record; with JSON feeds stdout carries the feed instead of the
// log and the report, and the progress bar stays off.
class CliTransferRunner : public QObject
{
    Q_OBJECT
public:
    CliTransferRunner(TransferSession &transfer, bool assumeYes, const CliFeedOptions &feeds = {});
    ~CliTransferRunner() override;

    // Starts the transfer and runs the event loop until it has finished; returns its record.
    // Ctrl+C is the user break meanwhile.
    TransferRecord run();

    CliTransferFeeds &feeds() { return *m_feeds; }

    // For a run over several ports (CliBatchRunner), which drives the event loop itself:
    // starts the transfer and returns; finished() comes once the record is there.
    void start();
    bool hasFinished() const { return m_finished; }
    const TransferRecord &record() const { return m_record; }
    // Ctrl+C: declines a boot prompt still waiting on stdin, else the user break.
    void interrupt();
    // The port this transfer runs on, among several: every line it prints starts with
    // "[PORT] " and there is no progress bar. Empty (the default): one transfer alone.
    void setPortLabel(const QString &port);
    QString portLabel() const { return m_portLabel; }
    // Hands the boot prompt to `handler` instead of asking on stdin (one prompt for a batch);
    // the answer goes to the transfer's answerBootPrompt(). --yes still answers at once.
    void setBootPromptHandler(std::function<void(const QString &)> handler);

signals:
    void finished();

private:
    void onEvent(const TransferEvent &event);
    void onLog(const QString &line);
    void onProgress(qint64 bytes, qint64 total);
    void onReport(const QString &text);
    void onBootPrompt(const QString &text);
    void onStdinReadable();
    QString prefixed(const QString &line) const;
    // The final report or the compare's: after an empty line, or line by line with the port.
    void printBlock(const QString &text);
    void declineBootPrompt();
    void drawProgress();
    void clearProgress();

    TransferSession &m_transfer;
    std::unique_ptr<CliTransferFeeds> m_feeds;
    bool m_json = false;
    bool m_assumeYes;
    qint64 m_total; // data bytes the transfer sets out to move
    qint64 m_bytes = 0;
    bool m_progressShown = false;
    bool m_stderrIsTerminal = false;
    TransferRate m_rate;
    bool m_rateStarted = false;
    QElapsedTimer m_redrawClock;
    QSocketNotifier *m_stdinNotifier = nullptr;
    QString m_portLabel;
    bool m_showProgress = true;
    std::function<void(const QString &)> m_bootPromptHandler;
    QByteArray m_stdinLine;
    TransferRecord m_record;
    bool m_finished = false;
};
