#pragma once

#include <QObject>

class QSocketNotifier;

// Ctrl+C for a running transfer: while an object lives, SIGINT no longer ends the process but
// emits interrupted() on the event loop. One runner or one batch of runners holds it; a second
// object at the same time stays inert.
class CliInterrupt : public QObject
{
    Q_OBJECT
public:
    CliInterrupt();
    ~CliInterrupt() override;

    bool isActive() const { return m_notifier != nullptr; }

signals:
    void interrupted();

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
};
