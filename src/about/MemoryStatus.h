#pragma once

#include <QtGlobal>

// Physical memory and swap of the machine, in bytes.
struct TMemoryStatus
{
    quint64 TotalPhys = 0;
    quint64 AvailPhys = 0;
    quint64 TotalPageFile = 0;
    quint64 AvailPageFile = 0;

    // From /proc/meminfo (available memory counts what the kernel can free), else sysinfo().
    static TMemoryStatus query();
};
