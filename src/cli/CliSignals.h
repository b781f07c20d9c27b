#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

// SIGINT, SIGTERM and SIGHUP as the user's break. The handler only writes the signal's number
// into a socket pair; the event loop reads it and emits `interrupted`, and every listener breaks
// what it runs (a transfer: "Close COM", with its report and the port closed). A second signal
// ends the process at once with the user-break status: its handler clears the exclusive-open
// flag of every terminal the process holds and leaves the rest of the closing to the kernel.
//
// The handlers are process-wide, so there is one instance; every user holds it through
// acquire(), and the previous dispositions return when the last holder lets go. A run of several
// transfers holds it for the whole run: one signal breaks them all, a second ends the process.
class CliSignals : public QObject
{
    Q_OBJECT
public:
    // The process's instance, created (and the handlers installed) on first use.
    [[nodiscard]] static std::shared_ptr<CliSignals> acquire();
    ~CliSignals() override;

signals:
    void interrupted(int signalNumber);

private:
    CliSignals();
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
};
