#pragma once

#include "CanTurnaround.h"
#include "support/CanBusLoad.h"

#include <QString>

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

    // One round: the tool's run and the bare host's against the same device, in turn first
    // (the tool in even rounds). False when either failed; the bare host's error is said.
    template<typename Tool, typename Bare, typename ToolRun, typename BareRun>
    static bool inTurn(int round, const Tool &tool, const Bare &bareHost, ToolRun *run,
                       BareRun *bare)
    {
        if (round % 2 == 0) {
            *run = tool();
            *bare = bareHost();
        } else {
            *bare = bareHost();
            *run = tool();
        }
        if (!run->succeeded())
            return false;
        if (!bare->ok)
            std::fprintf(stderr, "bare host: %s\n", qPrintable(bare->error));
        return bare->ok;
    }

    // A round on RS-232 at 115200 bit/s, each run's ratio its bytes of both ways at 11,520 a
    // second against its time: the tool's figures after `what`, then the bare host's.
    void addSerialRound(const char *what, double seconds, qint64 bytes, double bareSeconds,
                        qint64 bareBytes)
    {
        const double ratio = bytes / 11520.0 / seconds;
        const double bareRatio = bareBytes / 11520.0 / bareSeconds;
        std::printf("%s%.2f s; line limit for %lld bytes both ways %.2f s; ratio %.3f (goal >= "
                    "0.95)\n",
                    what, seconds, qlonglong(bytes), bytes / 11520.0, ratio);
        std::printf("  bare host: %.2f s for %lld bytes; ratio %.3f; tool/bare %.3f\n", bareSeconds,
                    qlonglong(bareBytes), bareRatio, ratio / bareRatio);
        std::fflush(stdout);
        add(ratio, bareRatio);
    }

    // A round on the CAN bus at 500 kbit/s, after the tool's own line: the bare host's bus
    // figures and both hosts' turnaround on the bus.
    void addCanRound(const QList<SimTraceLine> &trace, const QList<SimTraceLine> &bareTrace)
    {
        const CanBusLoad load = CanBusLoad::fromTrace(trace);
        const CanBusLoad bareLoad = CanBusLoad::fromTrace(bareTrace);
        std::printf("  bare host: CAN phase %.2f s (%d frames); ratio %.3f; tool/bare %.3f\n",
                    bareLoad.phaseSeconds(), bareLoad.frames, bareLoad.ratio(500000),
                    load.ratio(500000) / bareLoad.ratio(500000));
        const CanTurnaround turn = CanTurnaround::of(trace);
        const CanTurnaround bareTurn = CanTurnaround::of(bareTrace);
        std::printf("  host turnaround on the bus (us): tool mean %.0f median %.0f p99 %.0f; bare "
                    "host mean %.0f median %.0f p99 %.0f\n",
                    turn.mean, turn.figures.median, turn.figures.p99, bareTurn.mean,
                    bareTurn.figures.median, bareTurn.figures.p99);
        std::fflush(stdout);
        add(load.ratio(500000), bareLoad.ratio(500000));
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
