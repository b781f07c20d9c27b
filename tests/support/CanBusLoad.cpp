#include "support/CanBusLoad.h"

CanBusLoad CanBusLoad::fromTrace(const QList<SimTraceLine> &trace)
{
    CanBusLoad load;
    for (const SimTraceLine &line : trace) {
        if (!line.can)
            continue;
        // 44 bits of frame around 8 per data byte, plus 3 of interframe space.
        load.bits += 47 + 8.0 * line.bytes.size();
        if (load.firstMicros < 0)
            load.firstMicros = line.micros;
        load.lastMicros = line.micros;
        ++load.frames;
        if (line.kind == SimTraceLine::Kind::HostToDevice)
            ++load.hostFrames;
    }
    return load;
}
