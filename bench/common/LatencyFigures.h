#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// Median and 99th percentile of a set of measured times, in whatever unit they were taken.
struct LatencyFigures
{
    double median = 0;
    double p99 = 0;
    std::size_t count = 0;

    static LatencyFigures of(std::vector<double> v)
    {
        LatencyFigures f;
        f.count = v.size();
        if (v.empty())
            return f;
        std::sort(v.begin(), v.end());
        f.median = v[v.size() / 2];
        f.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
        return f;
    }
};
