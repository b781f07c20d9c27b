#pragma once

#include <algorithm>
#include <cstdio>
#include <vector>

// The tool's line or bus ratio against the bare host's, over rounds in which the two run back
// to back (in turn first), so that each pair meets about the same load of the machine. The
// medians over the rounds are the figures.
struct ToolVsBare
{
    std::vector<double> tool;
    std::vector<double> bare;
    std::vector<double> share;

    void add(double toolRatio, double bareRatio)
    {
        tool.push_back(toolRatio);
        bare.push_back(bareRatio);
        share.push_back(bareRatio > 0 ? toolRatio / bareRatio : 0);
    }

    static double median(std::vector<double> v)
    {
        if (v.empty())
            return 0;
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }

    void print(const char *what, double goal) const
    {
        std::printf("%s: tool ratio %.3f, bare host %.3f, tool/bare %.3f (median of %zu "
                    "round%s; goal >= %.2f)\n",
                    what, median(tool), median(bare), median(share), share.size(),
                    share.size() == 1 ? "" : "s", goal);
        std::fflush(stdout);
    }
};
