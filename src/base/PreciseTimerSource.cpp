#include "base/PreciseTimerSource.h"

#include <QTimer>

namespace {

class PreciseTimer : public ClockTimer
{
public:
    explicit PreciseTimer(std::function<void()> onTimeout)
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, std::move(onTimeout));
    }

    void setInterval(int ms) override { m_timer.setInterval(ms); }
    int interval() const override { return m_timer.interval(); }
    void start() override { m_timer.start(); }
    void stop() override { m_timer.stop(); }
    bool isActive() const override { return m_timer.isActive(); }

private:
    QTimer m_timer;
};

} // namespace

PreciseTimerSource::PreciseTimerSource()
{
    m_clock.start();
}

std::unique_ptr<ClockTimer> PreciseTimerSource::createTimer(std::function<void()> onTimeout)
{
    return std::make_unique<PreciseTimer>(std::move(onTimeout));
}
