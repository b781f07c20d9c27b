#pragma once

#include "LatencyFigures.h"
#include "support/SimDevice.h"

#include <numeric>
#include <vector>

// The host's turnaround on the CAN bus as the simulated device saw it: from its last message
// out (sent when the paced bus let it go) to the host's next message in, in microseconds.
// The mean is what the transfer's time adds up; median and 99th percentile show its shape.
struct CanTurnaround
{
    LatencyFigures figures;
    double mean = 0;

    static CanTurnaround of(const QList<SimTraceLine> &trace)
    {
        std::vector<double> gaps;
        qint64 deviceAt = -1;
        for (const SimTraceLine &line : trace) {
            if (!line.can)
                continue;
            if (line.kind == SimTraceLine::Kind::DeviceToHost) {
                deviceAt = line.micros;
            } else if (line.kind == SimTraceLine::Kind::HostToDevice && deviceAt >= 0) {
                gaps.push_back(double(line.micros - deviceAt));
                deviceAt = -1;
            }
        }
        CanTurnaround t;
        if (!gaps.empty())
            t.mean = std::accumulate(gaps.begin(), gaps.end(), 0.0) / double(gaps.size());
        t.figures = LatencyFigures::of(std::move(gaps));
        return t;
    }
};
