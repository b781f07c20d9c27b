#include "support/FakeSerialBackend.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <utility>

#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// Far above any descriptor a test opens, so no real port and no fake share a Handle.
std::atomic<int> nextHandle {1 << 20};

} // namespace

FakeSerialBackend::FakeSerialBackend() : m_handle(nextHandle++)
{
    m_clock.start();
}

FakeSerialBackend::~FakeSerialBackend()
{
    if (m_readableFd >= 0)
        ::close(m_readableFd);
}

void FakeSerialBackend::offerReadableHandle()
{
    std::lock_guard lock(m_mutex);
    if (m_readableFd < 0)
        m_readableFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    updateReadableLocked();
}

std::thread::id FakeSerialBackend::lastReader() const
{
    std::lock_guard lock(m_mutex);
    return m_lastReader;
}

int FakeSerialBackend::readableHandle() const
{
    std::lock_guard lock(m_mutex);
    return m_readableFd;
}

bool FakeSerialBackend::lineIsDown()
{
    std::lock_guard lock(m_mutex);
    return m_vanished;
}

void FakeSerialBackend::updateReadableLocked()
{
    if (m_readableFd < 0)
        return;
    const bool readable = m_open && (m_vanished || !m_input.isEmpty());
    if (readable == m_readableRaised)
        return;
    quint64 value = 1;
    (void)!(readable ? ::write(m_readableFd, &value, sizeof value)
                     : ::read(m_readableFd, &value, sizeof value));
    m_readableRaised = readable;
}

void FakeSerialBackend::setOpenError(int error)
{
    std::lock_guard lock(m_mutex);
    m_openError = error;
}

void FakeSerialBackend::setConfigureError(int error)
{
    std::lock_guard lock(m_mutex);
    m_configureError = error;
}

void FakeSerialBackend::setCloseError(int error)
{
    std::lock_guard lock(m_mutex);
    m_closeError = error;
}

void FakeSerialBackend::feed(const QByteArray &bytes)
{
    countLineErrors({}, bytes);
}

void FakeSerialBackend::setStaleInput(const QByteArray &bytes)
{
    std::lock_guard lock(m_mutex);
    m_staleInput = bytes;
}

void FakeSerialBackend::countLineErrors(const ErrorCounters &more, const QByteArray &withBytes)
{
    {
        std::lock_guard lock(m_mutex);
        m_counters.frame += more.frame;
        m_counters.parity += more.parity;
        m_counters.overrun += more.overrun;
        m_counters.brk += more.brk;
        m_counters.bufferOverrun += more.bufferOverrun;
        // Copied, not shared: the worker reads them on its thread.
        if (m_open && !m_vanished)
            m_input.append(withBytes.constData(), withBytes.size());
        updateReadableLocked();
    }
    m_changed.notify_all();
}

void FakeSerialBackend::setCountersSupported(bool supported)
{
    std::lock_guard lock(m_mutex);
    m_countersSupported = supported;
}

void FakeSerialBackend::setOutputDrains(bool drains)
{
    std::lock_guard lock(m_mutex);
    m_drains = drains;
}

void FakeSerialBackend::drainOutput()
{
    {
        std::lock_guard lock(m_mutex);
        m_outQueued = 0;
    }
    m_changed.notify_all();
}

void FakeSerialBackend::vanish()
{
    {
        std::lock_guard lock(m_mutex);
        m_vanished = true;
        updateReadableLocked();
    }
    m_changed.notify_all();
}

void FakeSerialBackend::setModemLinesSupported(bool supported)
{
    std::lock_guard lock(m_mutex);
    m_modemLinesSupported = supported;
}

void FakeSerialBackend::setClock(std::function<qint64()> msNow)
{
    std::lock_guard lock(m_mutex);
    m_msClock = std::move(msNow);
}

QByteArray FakeSerialBackend::written() const
{
    std::lock_guard lock(m_mutex);
    return QByteArray(m_written.constData(), m_written.size());
}

QList<SerialBackend::LineSettings> FakeSerialBackend::configurations() const
{
    std::lock_guard lock(m_mutex);
    return m_configurations;
}

QList<FakeSerialBackend::ModemChange> FakeSerialBackend::modemChanges() const
{
    std::lock_guard lock(m_mutex);
    return m_modemChanges;
}

int FakeSerialBackend::wakeCount() const
{
    std::lock_guard lock(m_mutex);
    return m_wakes;
}

qsizetype FakeSerialBackend::pendingInput() const
{
    std::lock_guard lock(m_mutex);
    return m_input.size();
}

int FakeSerialBackend::discardCalls() const
{
    std::lock_guard lock(m_mutex);
    return m_discardCalls;
}

int FakeSerialBackend::inputQueueCalls() const
{
    std::lock_guard lock(m_mutex);
    return m_inputQueueCalls;
}

int FakeSerialBackend::fail(int error)
{
    errno = error;
    return -1;
}

bool FakeSerialBackend::refuse(int error)
{
    errno = error;
    return false;
}

bool FakeSerialBackend::open(const QString &)
{
    std::lock_guard lock(m_mutex);
    if (m_open)
        return refuse(EBUSY);
    if (m_vanished)
        return refuse(ENOENT);
    if (m_openError)
        return refuse(m_openError);
    m_open = true;
    m_woken = false;
    m_input = std::exchange(m_staleInput, QByteArray());
    updateReadableLocked();
    return true;
}

bool FakeSerialBackend::close()
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_open)
            return true;
        m_open = false;
        m_input.clear();
        m_outQueued = 0;
        updateReadableLocked();
    }
    m_changed.notify_all();
    std::lock_guard lock(m_mutex);
    return !m_closeError || refuse(m_closeError);
}

bool FakeSerialBackend::isOpen() const
{
    std::lock_guard lock(m_mutex);
    return m_open;
}

int FakeSerialBackend::handle() const
{
    std::lock_guard lock(m_mutex);
    return m_open ? m_handle : -1;
}

bool FakeSerialBackend::configure(const LineSettings &line)
{
    std::lock_guard lock(m_mutex);
    if (!m_open)
        return refuse(EBADF);
    if (m_configureError)
        return refuse(m_configureError);
    m_line = line;
    m_configurations << line;
    return true;
}

bool FakeSerialBackend::lineSettings(LineSettings *line) const
{
    std::lock_guard lock(m_mutex);
    if (!m_open)
        return refuse(EBADF);
    *line = m_line;
    return true;
}

qint64 FakeSerialBackend::read(char *buffer, qint64 count)
{
    std::lock_guard lock(m_mutex);
    if (!m_open || m_vanished)
        return fail(m_open ? EIO : EBADF);
    const qint64 n = qMin(count, qint64(m_input.size()));
    std::copy_n(m_input.constData(), n, buffer);
    m_input.remove(0, n);
    if (n > 0)
        m_lastReader = std::this_thread::get_id();
    updateReadableLocked();
    return n;
}

qint64 FakeSerialBackend::write(const char *data, qint64 count)
{
    std::lock_guard lock(m_mutex);
    if (!m_open || m_vanished)
        return fail(m_open ? EIO : EBADF);
    m_written.append(data, count);
    if (!m_drains)
        m_outQueued += count;
    return count;
}

bool FakeSerialBackend::discardInput()
{
    std::lock_guard lock(m_mutex);
    if (!m_open || m_vanished)
        return refuse(m_open ? EIO : EBADF);
    ++m_discardCalls;
    m_input.clear();
    updateReadableLocked();
    return true;
}

int FakeSerialBackend::inputQueue()
{
    std::lock_guard lock(m_mutex);
    ++m_inputQueueCalls;
    if (!m_open || m_vanished)
        return fail(m_open ? EIO : EBADF);
    return int(m_input.size());
}

int FakeSerialBackend::outputQueue()
{
    std::lock_guard lock(m_mutex);
    if (!m_open || m_vanished)
        return fail(m_open ? EIO : EBADF);
    return int(m_outQueued);
}

bool FakeSerialBackend::errorCounters(ErrorCounters *counters)
{
    std::lock_guard lock(m_mutex);
    if (!m_open || !m_countersSupported)
        return false;
    *counters = m_counters;
    return true;
}

quint32 FakeSerialBackend::readyLocked(quint32 interest) const
{
    quint32 ready = m_woken ? quint32(Woken) : 0;
    if (!(interest & (Readable | Writable | LineDown)))
        return ready;
    if (!m_open || m_vanished)
        return ready | LineDown;
    if ((interest & Readable) && !m_input.isEmpty())
        ready |= Readable;
    if (interest & Writable)
        ready |= Writable;
    return ready;
}

quint32 FakeSerialBackend::wait(quint32 interest, int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    auto ready = [&] {
        return readyLocked(interest) != 0;
    };
    if (timeoutMs < 0)
        m_changed.wait(lock, ready);
    else
        m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    const quint32 result = readyLocked(interest);
    m_woken = false;
    return result;
}

void FakeSerialBackend::wake()
{
    {
        std::lock_guard lock(m_mutex);
        m_woken = true;
        ++m_wakes;
    }
    m_changed.notify_all();
}

SerialBackend::ModemResult FakeSerialBackend::setModemLine(ModemLine line, bool on)
{
    std::lock_guard lock(m_mutex);
    if (!m_open || m_vanished) {
        errno = m_open ? EIO : EBADF;
        return ModemResult::Failed;
    }
    if (!m_modemLinesSupported)
        return ModemResult::CannotSet;
    m_modemChanges << ModemChange {line, on, m_clock.nsecsElapsed(), m_msClock ? m_msClock() : -1};
    return ModemResult::Set;
}
