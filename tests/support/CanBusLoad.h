#pragma once

#include "support/SimDevice.h"

// The CAN traffic of a simulator trace measured against the bus: what the frames cost on the
// wire and how long the CAN phase took. Used by the transfer benchmarks.
struct CanBusLoad
{
    double bits = 0; // standard data frames without stuff bits, with interframe space
    qint64 firstMicros = -1;
    qint64 lastMicros = 0;
    int frames = 0;
    int hostFrames = 0; // frames from the tool to the device

    static CanBusLoad fromTrace(const QList<SimTraceLine> &trace);

    double limitSeconds(int bitrate) const { return bits / bitrate; }
    double phaseSeconds() const { return frames ? (lastMicros - firstMicros) / 1e6 : 0; }
    // Bus limit over the time the phase took: 1.0 is a bus busy with nothing but this transfer.
    double ratio(int bitrate) const
    {
        return phaseSeconds() > 0 ? limitSeconds(bitrate) / phaseSeconds() : 0;
    }
};
