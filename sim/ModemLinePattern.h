#pragma once

#include <QList>
#include <QString>

#include <optional>

// What a test fixture does to the tool's DTR and RTS to put the device into its bootstrap mode,
// seen from the device: a series of line states, one per run of `dtr=`/`rts=` steps between two
// waits (steps without a wait between them land within one poll). The device is polled, so it
// checks the order of the states and not the length of the waits.
class ModemLinePattern
{
public:
    // Either line: 0, 1, or -1 where the pattern has not set it yet.
    struct State
    {
        int dtr = -1;
        int rts = -1;
        bool operator==(const State &) const = default;
    };

    // "dtr=1,rts=1,wait=50,dtr=0,wait=100,rts=0"; nullopt with the reason for anything else.
    static std::optional<ModemLinePattern> parse(const QString &text, QString *error);

    const QList<State> &states() const { return m_states; }
    QString text() const { return m_text; }

    // The lines have changed to (dtr, rts). True when that completes the pattern; the watch
    // then starts over for the next reset.
    bool observe(bool dtr, bool rts);

private:
    void addState(const State &state);
    static bool matches(const State &wanted, bool dtr, bool rts);

    QList<State> m_states;
    QString m_text;
    qsizetype m_next = 0;
};
