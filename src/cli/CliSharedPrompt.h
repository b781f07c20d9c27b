#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QSocketNotifier;

// One boot prompt for the devices of a run over several ports: asked once every device that
// still runs waits at it, answered for all of them by one press of Enter (refused by the end of
// input). Closed by a break, it asks no more.
class CliSharedPrompt : public QObject
{
    Q_OBJECT

public:
    using Answer = std::function<void(bool confirmed)>;

    explicit CliSharedPrompt(QObject *parent = nullptr);
    ~CliSharedPrompt() override;

    // The device `key` waits at its prompt; `answer` is called once with the user's answer.
    void wait(const void *key, const QString &label, Answer answer);
    // The device `key` waits no longer (its session ended without an answer).
    void forget(const void *key);
    bool isWaiting(const void *key) const;
    // Asks when devices wait, no prompt is open and every device that still runs waits.
    void askIf(bool everyRunningWaits);
    // Forgets the waiting devices and drops an open prompt (the run has ended).
    void clear();
    // As clear(), and never asks again (the run was broken off).
    void close();

    // The prompt for the devices at these ports.
    static QString text(const QStringList &labels);

private:
    void onStdinReadable();
    void dropNotifier();

    struct Waiting
    {
        const void *key;
        QString label;
        Answer answer;
    };
    QList<Waiting> m_waiting;
    QSocketNotifier *m_notifier = nullptr;
    bool m_closed = false;
};
