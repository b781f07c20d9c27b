#pragma once

#include <QObject>

#include <functional>
#include <memory>

// The worker's word to the thread that owns the serial component: a dispatch waits for it. The
// word arrives through that thread's event loop, and no event object crosses threads (Qt's own
// hand-over of one is invisible to race checkers).
class SerialHandover
{
public:
    virtual ~SerialHandover() = default;

    // Any thread. Several raises before the watcher runs are seen once.
    virtual void raise() = 0;
    // A watcher in the calling thread that calls onRaised there, with receiver as context:
    // disconnecting receiver from the watcher stops the calls at once. The caller owns the
    // watcher (deleteLater from any thread); the watcher keeps this handover alive.
    [[nodiscard]] virtual QObject *watch(QObject *receiver, std::function<void()> onRaised) = 0;

    // The platform's own; null when the system refuses one (errno tells why).
    static std::shared_ptr<SerialHandover> create();
};
