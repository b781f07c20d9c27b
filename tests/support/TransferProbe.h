#pragma once

#include "transfer/TransferEvent.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class TransferSession;
class VirtualTimerSource;

// Records what one transfer tells its presenters: every event, the log, the boxes, the status
// line, the boot prompt, the final report as shown and the Finished record. Made before the
// transfer starts; it stops listening when it goes, so a transfer freed later finds no one.
class TransferProbe
{
public:
    // What the probe does with a boot prompt: note it (the test answers), or confirm it on the
    // next turn of the event loop, as a user would (runs in real time).
    enum class BootPrompt { Note, Confirm };

    struct Box
    {
        QString title;
        QString text;
        QString hint;
    };

    explicit TransferProbe(TransferSession &transfer, BootPrompt prompt = BootPrompt::Note);
    ~TransferProbe();
    TransferProbe(const TransferProbe &) = delete;
    TransferProbe &operator=(const TransferProbe &) = delete;

    bool finished() const { return record.has_value(); }
    // The Finished record; an empty one before the end.
    const TransferRecord &result() const;

    // Starts the transfer and runs the event loop until it has finished or `msecs` have passed
    // (a run against the simulated device); true when it finished.
    bool run(int msecs = 60000);
    // Lets up to `ms` of virtual time pass until the transfer has finished; true when it has,
    // with a whole event stream (streamIsWhole()).
    bool waitFinished(VirtualTimerSource &clock, qint64 ms);

    // Started first, Finished last and exactly once; the record holds what the user saw (the
    // report, or the box that stopped the transfer) and the modal result of its outcome.
    bool streamIsWhole() const;
    QList<TransferPhase> phases() const;
    // "title|text" of each box, in order.
    QStringList boxLines() const;
    // The last box's text with its hint, as the box showed it.
    QString shownError() const;

    // Called for every event after the probe has recorded it (a test that acts mid-transfer).
    std::function<void(const TransferEvent &)> onEvent;

    QList<TransferEvent> events;
    QStringList logs;
    QList<Box> boxes;
    QString status;
    bool promptShown = false;
    bool reportShown = false;
    bool reportAfterEnd = false; // the report must come before the end
    QString reportText; // the final report as the message box shows it ("\r\n")
    std::optional<TransferRecord> record; // the Finished event's

private:
    TransferSession &m_transfer;
    std::unique_ptr<QObject> m_context; // ends the connections with the probe
};
