#include "support/VirtualTimerSource.h"

#include <QtGlobal>

#include <map>

struct VirtualTimerSource::State
{
    struct Entry
    {
        int interval = 0;
        bool active = false;
        qint64 deadline = 0;
        quint64 order = 0; // start order, for timers due at the same moment
        std::shared_ptr<std::function<void()>> onTimeout;
    };

    qint64 now = 0;
    quint64 nextId = 1;
    quint64 nextOrder = 1;
    std::map<quint64, Entry> timers;

    void start(Entry &e)
    {
        e.active = true;
        e.deadline = now + e.interval;
        e.order = nextOrder++;
    }

    // The active timer due first, or timers.end().
    std::map<quint64, Entry>::iterator firstDue()
    {
        auto first = timers.end();
        for (auto it = timers.begin(); it != timers.end(); ++it) {
            if (!it->second.active)
                continue;
            if (first == timers.end() || it->second.deadline < first->second.deadline
                || (it->second.deadline == first->second.deadline
                    && it->second.order < first->second.order))
                first = it;
        }
        return first;
    }
};

namespace {

class VirtualTimer : public ClockTimer
{
public:
    VirtualTimer(std::weak_ptr<VirtualTimerSource::State> state, quint64 id)
        : m_state(std::move(state)), m_id(id)
    { }

    ~VirtualTimer() override
    {
        if (auto s = m_state.lock())
            s->timers.erase(m_id);
    }

    void setInterval(int ms) override
    {
        if (auto *e = entry()) {
            e->interval = ms;
            if (e->active)
                stateOf()->start(*e);
        } else {
            m_interval = ms;
        }
    }
    int interval() const override
    {
        const auto *e = entry();
        return e ? e->interval : m_interval;
    }
    void start() override
    {
        if (auto *e = entry())
            stateOf()->start(*e);
    }
    void stop() override
    {
        if (auto *e = entry())
            e->active = false;
    }
    bool isActive() const override
    {
        const auto *e = entry();
        return e && e->active;
    }

private:
    std::shared_ptr<VirtualTimerSource::State> stateOf() const { return m_state.lock(); }
    VirtualTimerSource::State::Entry *entry() const
    {
        auto s = m_state.lock();
        if (!s)
            return nullptr;
        auto it = s->timers.find(m_id);
        return it == s->timers.end() ? nullptr : &it->second;
    }

    std::weak_ptr<VirtualTimerSource::State> m_state;
    quint64 m_id;
    int m_interval = 0; // kept once the source is gone
};

} // namespace

VirtualTimerSource::VirtualTimerSource() : m_state(std::make_shared<State>()) { }

VirtualTimerSource::~VirtualTimerSource() = default;

std::unique_ptr<ClockTimer> VirtualTimerSource::createTimer(std::function<void()> onTimeout)
{
    const quint64 id = m_state->nextId++;
    State::Entry &e = m_state->timers[id];
    e.onTimeout = std::make_shared<std::function<void()>>(std::move(onTimeout));
    return std::make_unique<VirtualTimer>(m_state, id);
}

qint64 VirtualTimerSource::monotonicMs() const
{
    return m_state->now;
}

QDateTime VirtualTimerSource::now() const
{
    return epoch().addMSecs(m_state->now);
}

QDateTime VirtualTimerSource::epoch()
{
    return QDateTime(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
}

void VirtualTimerSource::advance(qint64 ms)
{
    Q_ASSERT(ms >= 0);
    // Keeps the state alive should a callback free the source.
    const std::shared_ptr<State> s = m_state;
    const qint64 target = s->now + ms;
    int fired = 0;
    for (;;) {
        auto it = s->firstDue();
        if (it == s->timers.end() || it->second.deadline > target)
            break;
        if (++fired > 1000000)
            qFatal("VirtualTimerSource: timers keep firing without time passing");
        s->now = it->second.deadline;
        it->second.active = false;
        // Held here: the callback may free its own timer.
        const auto onTimeout = it->second.onTimeout;
        if (*onTimeout)
            (*onTimeout)();
    }
    s->now = target;
}

bool VirtualTimerSource::advanceUntil(const std::function<bool()> &done, qint64 limitMs)
{
    const qint64 end = m_state->now + limitMs;
    settle();
    while (!done()) {
        const qint64 next = nextDueIn();
        if (next < 0 || m_state->now + next > end) {
            advance(end - m_state->now);
            return done();
        }
        advance(next);
    }
    return true;
}

qint64 VirtualTimerSource::nextDueIn() const
{
    auto it = m_state->firstDue();
    return it == m_state->timers.end() ? -1 : it->second.deadline - m_state->now;
}
