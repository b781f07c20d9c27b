#include "about/MemoryStatus.h"

#include <QFile>

#include <sys/sysinfo.h>

namespace {

// "MemAvailable:   123456 kB" -> bytes; false when the line is not there.
bool meminfoValue(const QByteArray &text, const QByteArray &name, quint64 *bytes)
{
    const qsizetype at = text.indexOf(name + ':');
    if (at < 0 || (at > 0 && text.at(at - 1) != '\n'))
        return false;
    const qsizetype end = text.indexOf('\n', at);
    QByteArray field
        = text.mid(at + name.size() + 1, end < 0 ? -1 : end - at - name.size() - 1).trimmed();
    const bool kiB = field.endsWith(" kB");
    if (kiB)
        field.chop(3);
    bool ok = false;
    const quint64 v = field.trimmed().toULongLong(&ok);
    if (!ok)
        return false;
    *bytes = kiB ? v * 1024 : v;
    return true;
}

} // namespace

TMemoryStatus TMemoryStatus::query()
{
    TMemoryStatus status;
    struct sysinfo info
    {
    };
    if (sysinfo(&info) == 0) {
        const quint64 unit = info.mem_unit ? info.mem_unit : 1;
        status.TotalPhys = quint64(info.totalram) * unit;
        status.AvailPhys = (quint64(info.freeram) + quint64(info.bufferram)) * unit;
        status.TotalPageFile = quint64(info.totalswap) * unit;
        status.AvailPageFile = quint64(info.freeswap) * unit;
    }
    QFile meminfo(QStringLiteral("/proc/meminfo"));
    if (meminfo.open(QIODevice::ReadOnly)) {
        const QByteArray text = meminfo.readAll();
        quint64 v = 0;
        if (meminfoValue(text, "MemTotal", &v))
            status.TotalPhys = v;
        if (meminfoValue(text, "MemAvailable", &v))
            status.AvailPhys = v;
    }
    return status;
}
