#pragma once

#include <QList>
#include <QString>

// How a test fixture puts the device into its bootstrap mode through the adapter's modem lines:
// a comma-separated sequence of `dtr=0|1`, `rts=0|1` and `wait=MS` steps, run after the port is
// opened and before the boot byte, in place of the boot prompt. Parsing is strict, so that a
// typing error in a fixture's setting never sends a boot byte to a device that was not reset.
namespace BootLines {

// The longest single wait: a reset pulse is milliseconds, and a longer wait is a typing error.
constexpr int MaxWaitMs = 10000;
// A whole sequence is bounded too: a fixture's reset is a handful of steps, and nothing is sent
// while it runs, so a runaway sequence would hold the port with no sign of life.
constexpr int MaxSteps = 32;
constexpr int MaxTotalWaitMs = 10000;

struct Step
{
    enum class Kind { Dtr, Rts, Wait };
    Kind kind = Kind::Wait;
    int value = 0; // 0 or 1 for a line, milliseconds for a wait
    bool operator==(const Step &) const = default;
};

struct Sequence
{
    QList<Step> steps; // empty: no sequence, the boot prompt is used
    QString error; // why the text is not a sequence; empty when it is one

    bool ok() const { return error.isEmpty(); }
    bool isEmpty() const { return steps.isEmpty(); }
};

// Blanks around the whole text and around each step are allowed, and the names in any letter
// case; an empty text is no sequence. The error names the step by its number and its text:
// `step 2 "dtr=2": dtr takes 0 or 1`.
[[nodiscard]] Sequence parse(const QString &text);

// The canonical text: lower-case names, no blanks ("dtr=1,rts=1,wait=50").
QString toText(const QList<Step> &steps);

} // namespace BootLines
