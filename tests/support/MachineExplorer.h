#pragma once

#include "support/MachineDriver.h"

#include <QList>
#include <QStringList>

#include <functional>
#include <memory>

// Exhausts a protocol machine, each case from the confirmed boot prompt on:
//   - every state that a good run passes through is reached through the run's prefix, each
//     input of `variants` is fed there, then the rest of the good run or silence carries on;
//   - the good run's reads are cut one byte per read, all into one read, and at random points;
//   - each of the 256 byte values is put before, inside and after each read, and each read
//     comes twice (in one read and as two);
//   - from each prefix, each of `endless` is fed again and again;
//   - `pastTheEnd` follows the good run in place of its last input.
// Every case must end within a bounded number of inputs, never wait without its watchdog, send
// nothing after its end, account for every byte it read, keep its outcome and report once
// ended, give a report that agrees with its outcome, succeed only when `movedEverything`
// agrees that the data went through, and store nothing past what it asked for. A good run cut
// anywhere must still succeed.
struct MachineExploration
{
    std::function<std::unique_ptr<TransferMachine>()> make;
    // From the confirmed boot prompt to the device's end.
    QList<MachineInput> goodRun;
    QList<MachineInput> variants;
    // Answers of a device that never stops (each fed repeatedly from every prefix), one every
    // `endlessEveryMs`: slow enough that the longest wait it does not put off runs out.
    QList<MachineInput> endless;
    int endlessEveryMs = 100;
    // What a device sends past the end of what was asked for.
    QList<MachineInput> pastTheEnd;
    // The invariant's own check, independent of the machine's bookkeeping.
    std::function<bool(MachineDriver &driver)> movedEverything;
    // Nothing stored beyond what was asked for (none: nothing to check).
    std::function<bool(MachineDriver &driver)> storedWithin;
    // Which prefixes to try (all when empty): long data phases are sampled.
    std::function<bool(int prefix)> prefixes;
    // Of those, where the good device carries on after a variant, and where stray bytes go
    // around the answer (all when empty): a long run is costly to repeat.
    std::function<bool(int prefix)> goodDeviceAfter;
    std::function<bool(int prefix)> strays;
    // Over CAN only frames with this identifier get stray ones around them (0: every frame).
    quint32 strayFrameId = 0;
    // Random cuts of the good run to try.
    int randomCuts = 20;
};

struct ExplorationResult
{
    int cases = 0;
    QStringList violations; // the first few, described
};

ExplorationResult explore(const MachineExploration &exploration);
// explore(), its count of cases and their time logged under `name`: the violations as one
// message, empty when there were none.
QString exploreLogged(const MachineExploration &exploration, const QString &name);
// The rows of a test over every kind of transfer machine, in a column "name": "serial",
// "retain", "board", "can" and "can-retain".
void addMachineKindRows();

// The 256 byte values as single reads, a time-out and a user break.
QList<MachineInput> serialVariants();
// Over CAN: each status byte on `replyId`, lengths 0 to 8 of the `statuses` that matter, those
// statuses on `foreignIds`, and a dongle error.
QList<MachineInput> canVariants(quint32 replyId, const QList<quint8> &statuses,
                                const QList<quint32> &foreignIds);
// `sends` holds every entry of `expected` in order (other entries may come between).
bool containsInOrder(const QList<QByteArray> &sends, const QList<QByteArray> &expected);
// The download's own check on the wire: every frame of `planned` was answered `ok` exactly once
// after it last went out, with no other answer of `answers` before the next transmission, and
// the last of them was answered `end`. Over CAN a frame is its command (`commandId`) and an
// answer is data byte 0 on `replyId`.
struct AnswerCheck
{
    QList<QByteArray> planned;
    QList<quint8> answers;
    quint8 ok = 0x55;
    quint8 end = 0xAA;
    bool can = false;
    quint32 replyId = 0;
};
bool answeredInStep(const MachineDriver &driver, const AnswerCheck &check);
