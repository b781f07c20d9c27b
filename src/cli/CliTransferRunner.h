#pragma once

#include "cli/CliTransferFeeds.h"
#include "transfer/TransferBase.h"

#include <QElapsedTimer>
#include <QObject>

class QSocketNotifier;

// Presents a transfer on the terminal, as the window does on the screen: log lines on stdout,
// then an empty line and the final report (and, after a compare, an empty line and the compare's
// report); error boxes, the boot prompt and a live progress bar on stderr. Ctrl+C is the user
// break ("Close COM"); before the boot prompt is answered it declines the prompt. It follows the
// transfer's events; the exit status comes from the final record (TransferOutcome.h).
// The run goes into the service record; with JSON feeds stdout carries the feed instead of the
// log and the report, and the progress bar stays off.
class CliTransferRunner : public QObject
{
    Q_OBJECT
public:
    CliTransferRunner(TransferBase &transfer, bool assumeYes, const CliFeedOptions &feeds = {});
    ~CliTransferRunner() override;

    // Starts the transfer and runs the event loop until it has finished; returns its record.
    TransferRecord run();

    CliTransferFeeds &feeds() { return *m_feeds; }

private:
    void onEvent(const TransferEvent &event);
    void onLog(const QString &line);
    void onProgress(qint64 position);
    void onReport(const QString &text);
    void onBootPrompt(const QString &text);
    void onStdinReadable();
    void onInterrupt();
    void drawProgress();
    void clearProgress();

    TransferBase &m_transfer;
    std::unique_ptr<CliTransferFeeds> m_feeds;
    bool m_json = false;
    bool m_assumeYes;
    qint64 m_minimum;
    qint64 m_maximum;
    qint64 m_position;
    bool m_progressShown = false;
    bool m_stderrIsTerminal = false;
    QElapsedTimer m_progressClock;
    QElapsedTimer m_redrawClock;
    QSocketNotifier *m_stdinNotifier = nullptr;
    QSocketNotifier *m_signalNotifier = nullptr;
    QByteArray m_stdinLine;
    TransferRecord m_record;
    bool m_finished = false;
};
