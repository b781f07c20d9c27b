#pragma once

#include "transfer/TransferBase.h"

#include <QElapsedTimer>
#include <QObject>

#include <memory>

class CliSignals;

class QSocketNotifier;

// Presents a transfer on the terminal, as the window does on the screen: log lines on stdout,
// then an empty line and the final report (and, after a compare, an empty line and the compare's
// report); error boxes, the boot prompt and a live progress bar on stderr. Ctrl+C is the user
// break ("Close COM"); before the boot prompt is answered it declines the prompt. It follows the
// transfer's events; the exit status comes from the final record (TransferOutcome.h). SIGTERM and
// SIGHUP count as Ctrl+C (CliSignals.h).
class CliTransferRunner : public QObject
{
    Q_OBJECT
public:
    CliTransferRunner(TransferBase &transfer, bool assumeYes);
    ~CliTransferRunner() override;

    // Starts the transfer and runs the event loop until it has finished; returns its record.
    TransferRecord run();

private:
    void onEvent(const TransferEvent &event);
    void onLog(const QString &line);
    void onProgress(qint64 position);
    void onReport(const QString &text);
    void onBootPrompt(const QString &text);
    void onStdinReadable();
    void onInterrupt();
    void declineBootPrompt();
    void drawProgress();
    void clearProgress();

    TransferBase &m_transfer;
    bool m_assumeYes;
    qint64 m_minimum;
    qint64 m_maximum;
    qint64 m_position;
    bool m_progressShown = false;
    bool m_stderrIsTerminal = false;
    QElapsedTimer m_progressClock;
    QElapsedTimer m_redrawClock;
    QSocketNotifier *m_stdinNotifier = nullptr;
    std::shared_ptr<CliSignals> m_signals;
    QByteArray m_stdinLine;
    TransferRecord m_record;
    bool m_finished = false;
};
