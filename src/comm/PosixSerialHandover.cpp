#include "comm/PosixSerialHandover.h"

#include <QSocketNotifier>

#include <sys/eventfd.h>
#include <unistd.h>

std::shared_ptr<SerialHandover> SerialHandover::create()
{
    auto handover = std::make_shared<PosixSerialHandover>();
    if (!handover->isValid())
        return nullptr;
    return handover;
}

PosixSerialHandover::PosixSerialHandover() : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) { }

PosixSerialHandover::~PosixSerialHandover()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void PosixSerialHandover::raise()
{
    const quint64 one = 1;
    (void)!::write(m_fd, &one, sizeof one);
}

void PosixSerialHandover::reset()
{
    quint64 count = 0;
    (void)!::read(m_fd, &count, sizeof count);
}

QObject *PosixSerialHandover::watch(QObject *receiver, std::function<void()> onRaised)
{
    auto *notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read);
    // The counter is reset whoever still listens, so a watcher that nobody listens to any more
    // does not fire again and again until it is deleted. Its descriptor stays open as long as
    // the notifier: the notifier stops watching before its connections let go of this object.
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [self = shared_from_this()] { self->reset(); });
    QObject::connect(notifier, &QSocketNotifier::activated, receiver, std::move(onRaised));
    return notifier;
}
