#pragma once

#include "support/MachineDriver.h"

#include <QList>
#include <QStringList>

#include <functional>
#include <memory>

// Exhausts a protocol machine: every state that a good run passes through is reached through
// the run's prefix, then each input of `variants` is fed there, and then either the rest of the
// good run or silence (time-outs) carries on to the end. Every case must end, never wait without
// its watchdog, send nothing after its end, and succeed only when `movedEverything` agrees that the
// data went through.
struct MachineExploration
{
    std::function<std::unique_ptr<TransferMachine>()> make;
    // From the confirmed boot prompt to the device's end.
    QList<MachineInput> goodRun;
    QList<MachineInput> variants;
    // The invariant's own check, independent of the machine's bookkeeping.
    std::function<bool(MachineDriver &driver)> movedEverything;
    // Which prefixes to try (all when empty): long data phases are sampled.
    std::function<bool(int prefix)> prefixes;
};

struct ExplorationResult
{
    int cases = 0;
    QStringList violations; // the first few, described
};

ExplorationResult explore(const MachineExploration &exploration);

// The 256 byte values as single reads, a time-out and a user break.
QList<MachineInput> serialVariants();
// Over CAN: each status byte on `replyId`, lengths 0 to 8 of the `statuses` that matter, those
// statuses on `foreignIds`, and a dongle error.
QList<MachineInput> canVariants(quint32 replyId, const QList<quint8> &statuses,
                                const QList<quint32> &foreignIds);
// `sends` holds every entry of `expected` in order (other entries may come between).
bool containsInOrder(const QList<QByteArray> &sends, const QList<QByteArray> &expected);
