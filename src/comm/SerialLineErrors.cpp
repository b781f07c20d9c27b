#include "comm/SerialLineErrors.h"

#include "comm/KTSerial.h"
#include "comm/SerialPlatform.h"

#include <cerrno>
#include <map>
#include <mutex>

namespace {

struct PortErrors
{
    quint32 pending = 0;
    bool haveCounters = false;
    SerialPlatform::ErrorCounters counters;
};

std::mutex registryMutex;
std::map<int, PortErrors> &registry()
{
    static std::map<int, PortErrors> r;
    return r;
}

} // namespace

namespace SerialLineErrors {

void attach(int fd)
{
    PortErrors entry;
    entry.haveCounters = SerialPlatform::errorCounters(fd, &entry.counters);
    std::lock_guard lock(registryMutex);
    registry()[fd] = entry;
}

void detach(int fd)
{
    std::lock_guard lock(registryMutex);
    registry().erase(fd);
}

void raise(int fd, quint32 flags)
{
    std::lock_guard lock(registryMutex);
    auto it = registry().find(fd);
    if (it != registry().end())
        it->second.pending |= flags;
}

} // namespace SerialLineErrors

bool ClearCommError(int Handle, quint32 *Errors, TComStat *Stat)
{
    quint32 flags = 0;
    TComStat stat;
    {
        std::lock_guard lock(registryMutex);
        auto it = registry().find(Handle);
        if (it == registry().end()) {
            errno = EBADF;
            return false;
        }
        PortErrors &entry = it->second;
        SerialPlatform::ErrorCounters now;
        if (entry.haveCounters && SerialPlatform::errorCounters(Handle, &now)) {
            flags |= SerialPlatform::errorFlags(entry.counters, now);
            entry.counters = now;
        }
        const int in = SerialPlatform::inputQueue(Handle);
        if (in < 0 && errno != ENOTTY && errno != EINVAL)
            flags |= CE_IOE;
        const int out = SerialPlatform::outputQueue(Handle);
        stat.cbInQue = quint32(qMax(0, in));
        stat.cbOutQue = quint32(qMax(0, out));
        flags |= entry.pending;
        entry.pending = 0;
    }
    if (Errors)
        *Errors = flags;
    if (Stat)
        *Stat = stat;
    return true;
}
