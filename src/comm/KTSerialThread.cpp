#include "comm/KTSerialThread.h"

#include "comm/KTSerial.h"
#include "comm/SerialLineErrors.h"
#include "comm/SerialPlatform.h"

#include <QLoggingCategory>

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcSerialWorker, "brasvik.comm.serial", QtCriticalMsg)

namespace {

// A handler that leaves bytes in the queue gets its next receive event only for new bytes;
// until then the queue is looked at this often instead of waking on every poll.
constexpr int kStaleQueueCheckMs = 10;
// Without a receive handler, the driver's error counters are looked at this often.
constexpr int kErrorCounterCheckMs = 100;
constexpr int kMaxDrainWaitMs = 100;

} // namespace

SerialWorkerState::SerialWorkerState(TKTSerial *component, int portFd, quint32 eventMask)
    : owner(component)
    , fd(portFd)
    , mask(eventMask)
    , wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    , handoverFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{ }

SerialWorkerState::~SerialWorkerState()
{
    // The last reference goes on the worker itself when a handler running there destroyed the
    // component: nobody is left to join it.
    if (thread.joinable() && thread.get_id() == std::this_thread::get_id())
        thread.detach();
    if (wakeFd >= 0)
        ::close(wakeFd);
    if (handoverFd >= 0)
        ::close(handoverFd);
}

void SerialWorkerState::wake() const
{
    const quint64 one = 1;
    (void)!::write(wakeFd, &one, sizeof one);
}

std::shared_ptr<SerialWorkerState> TKTSerialThread::create(TKTSerial *component, int fd,
                                                           quint32 mask, int bitRate)
{
    auto state = std::make_shared<SerialWorkerState>(component, fd, mask);
    if (state->wakeFd < 0 || state->handoverFd < 0)
        return nullptr;
    state->bitRate = bitRate;
    return state;
}

void TKTSerialThread::run(const std::shared_ptr<SerialWorkerState> &state, int niceValue)
{
    std::lock_guard lock(state->mutex);
    state->thread = std::thread(&TKTSerialThread::execute, state, niceValue);
}

void TKTSerialThread::dispatch(SerialWorkerState &s, quint32 mask)
{
    if (s.terminate)
        return;
    if (!s.owner->SyncEventHandling()) {
        s.owner->Dispatch(mask, &s);
        return;
    }
    std::unique_lock lock(s.mutex);
    s.pendingMask = mask;
    s.handoverDone = false;
    lock.unlock();
    // Announced through a descriptor rather than a posted event, so that no event object
    // crosses threads (its hand-over inside Qt is invisible to race checkers).
    const quint64 one = 1;
    (void)!::write(s.handoverFd, &one, sizeof one);
    lock.lock();
    s.handedBack.wait(lock, [&] { return s.handoverDone || s.terminate.load(); });
}

void TKTSerialThread::execute(const std::shared_ptr<SerialWorkerState> &state, int niceValue)
{
    SerialWorkerState &s = *state;
    {
        std::lock_guard lock(s.mutex); // `thread` is stored once this is free
    }
    s.workerId = std::this_thread::get_id();
    if (niceValue != 0)
        ::setpriority(PRIO_PROCESS, 0, niceValue); // this thread only on Linux; may be refused

    const bool wantRx = s.mask & EV_RXCHAR;
    const bool wantError = s.mask & EV_ERR;
    SerialPlatform::ErrorCounters counters;
    const bool haveCounters = SerialPlatform::errorCounters(s.fd, &counters);
    bool hungUp = false;
    int rxSeen = 0; // bytes already announced and still queued
    int rxAnnounced = 0;
    quint64 readMark = 0;

    auto lineFailed = [&](quint32 *events) {
        if (!hungUp)
            qCDebug(lcSerialWorker) << "port" << s.fd << "failed or hung up";
        hungUp = true;
        SerialLineErrors::raise(s.fd, CE_IOE);
        if (wantError)
            *events |= EV_ERR;
        std::lock_guard lock(s.txMutex);
        s.txPending.clear();
        s.txAwaitingEmpty = false;
    };

    while (!s.terminate) {
        quint32 events = 0;
        short portEvents = 0;
        int timeout = -1;
        if (wantRx && !hungUp) {
            if (rxSeen > 0)
                timeout = kStaleQueueCheckMs;
            else
                portEvents |= POLLIN;
        }
        if (wantError && haveCounters && !wantRx && !hungUp)
            timeout = kErrorCounterCheckMs;
        {
            std::lock_guard lock(s.txMutex);
            if (!s.txPending.isEmpty()) {
                portEvents |= POLLOUT;
            } else if (s.txAwaitingEmpty && !hungUp) {
                const int queued = SerialPlatform::outputQueue(s.fd);
                if (queued <= 0) {
                    s.txAwaitingEmpty = false;
                    if (s.mask & EV_TXEMPTY)
                        events |= EV_TXEMPTY;
                } else {
                    // No event tells when the line has drained: wait about as long as the
                    // queued characters take at the current rate.
                    const int rate = qMax(1, s.bitRate.load());
                    const int ms = int(
                        std::clamp<qint64>(qint64(queued) * 10000 / rate + 1, 1, kMaxDrainWaitMs));
                    timeout = timeout < 0 ? ms : qMin(timeout, ms);
                }
            }
        }

        if (!events) {
            pollfd fds[2] = {{s.wakeFd, POLLIN, 0}, {hungUp ? -1 : s.fd, portEvents, 0}};
            const int rc = ::poll(fds, 2, timeout);
            if (s.terminate)
                break;
            if (rc < 0 && errno != EINTR) {
                lineFailed(&events);
            } else if (rc > 0) {
                if (fds[0].revents & POLLIN) {
                    quint64 count;
                    (void)!::read(s.wakeFd, &count, sizeof count);
                }
                const short r = fds[1].revents;
                if (r & (POLLHUP | POLLERR | POLLNVAL))
                    lineFailed(&events);
                bool writeFailed = false;
                if ((r & POLLOUT) && !hungUp) {
                    std::lock_guard lock(s.txMutex);
                    const ssize_t n
                        = ::write(s.fd, s.txPending.constData(), size_t(s.txPending.size()));
                    if (n > 0)
                        s.txPending.remove(0, n);
                    else if (n < 0 && errno != EAGAIN && errno != EINTR)
                        writeFailed = true;
                }
                if (writeFailed)
                    lineFailed(&events);
            }
        }

        if (wantRx) {
            const int queued = SerialPlatform::inputQueue(s.fd);
            if (queued < 0 && !hungUp)
                lineFailed(&events);
            else if (queued > rxSeen) {
                events |= EV_RXCHAR;
                rxAnnounced = queued;
                readMark = s.owner->m_bytesRead;
            } else {
                rxSeen = qMax(0, queued);
            }
        }
        if (haveCounters && wantError && !hungUp) {
            SerialPlatform::ErrorCounters now;
            if (SerialPlatform::errorCounters(s.fd, &now) && !(now == counters)) {
                counters = now;
                events |= EV_ERR;
            }
        }
        if (!events)
            continue;

        dispatch(s, events);
        if (s.terminate)
            break;
        if (events & EV_RXCHAR) {
            // What the handlers left of the announced bytes; anything beyond that is new and
            // completes the next wait at once.
            const quint64 taken = s.owner->m_bytesRead - readMark;
            rxSeen = int(qMax<qint64>(0, qint64(rxAnnounced) - qint64(taken)));
        }
    }
}
