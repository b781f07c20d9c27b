#include "PacedOutbox.h"

namespace {

// Below this a wait is slept in place; above it a timer takes over until this close.
constexpr SimClock::Micros PreciseWindow = 2000;

} // namespace

PacedOutbox::PacedOutbox(SimClock::Micros batchSlack, Deliver deliver, QObject *parent)
    : QObject(parent), m_slack(batchSlack), m_deliver(std::move(deliver))
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &PacedOutbox::pump);
}

void PacedOutbox::push(SimClock::Micros due, quint32 tag, const QByteArray &data, bool startNow)
{
    m_lastDue = qMax(due, m_lastDue);
    m_items.push_back(Item {m_lastDue, tag, data});
    if (startNow && !m_pumping && !m_timer.isActive())
        pump();
}

void PacedOutbox::clear()
{
    m_items.clear();
    m_timer.stop();
}

void PacedOutbox::pump()
{
    if (m_pumping)
        return;
    m_pumping = true;
    while (!m_items.empty()) {
        const SimClock::Micros front = m_items.front().due;
        // Wake for the front item, or a little later to take its followers along, but
        // never after the last queued item is due.
        const SimClock::Micros wake = qMax(front, qMin(front + m_slack, m_items.back().due));
        const SimClock::Micros wait = wake - SimClock::now();
        if (wait > PreciseWindow) {
            m_timer.start(int((wait - PreciseWindow / 2) / 1000));
            break;
        }
        if (wait > 0)
            SimClock::sleepUntil(wake);
        const SimClock::Micros now = SimClock::now();
        QList<Item> batch;
        while (!m_items.empty() && m_items.front().due <= now) {
            batch.append(std::move(m_items.front()));
            m_items.pop_front();
        }
        if (!batch.isEmpty())
            m_deliver(std::move(batch));
    }
    m_pumping = false;
}
