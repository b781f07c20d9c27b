#pragma once

#include "SimClock.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

// Items that must leave at given times, in order. Waits of more than a couple of
// milliseconds go through a timer; the last stretch is slept precisely, so paced lines keep
// their rate instead of losing a timer tick per block. Items that fall due close together
// leave in one batch, but never early and never later than the slack after their time.
class PacedOutbox : public QObject
{
    Q_OBJECT

public:
    struct Item
    {
        SimClock::Micros due = 0;
        quint32 tag = 0;
        QByteArray data;
    };
    using Deliver = std::function<void(QList<Item> &&)>;

    PacedOutbox(SimClock::Micros batchSlack, Deliver deliver, QObject *parent = nullptr);

    // Queues an item; it never leaves before the items queued earlier. Pass startNow false
    // for all but the last of a run of items, so that they can leave together.
    void push(SimClock::Micros due, quint32 tag, const QByteArray &data, bool startNow = true);
    void clear();
    bool isEmpty() const { return m_items.empty(); }
    SimClock::Micros lastDue() const { return m_lastDue; }

private:
    void pump();

    SimClock::Micros m_slack;
    Deliver m_deliver;
    std::deque<Item> m_items;
    SimClock::Micros m_lastDue = 0;
    QTimer m_timer;
    bool m_pumping = false;
};
