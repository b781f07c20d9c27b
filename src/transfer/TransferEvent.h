#pragma once

#include "transfer/TransferRecord.h"

#include <QMetaType>
#include <QString>

// One structured event of a running transfer. A transfer publishes them in order through one
// signal (TransferSession::event); the window, the command-line tool, the service record and the
// JSON progress feed are listeners.
struct TransferEvent
{
    enum class Kind {
        Started, // the record holds what runs; written before anything is sent
        Phase, // `phase` entered
        Progress, // `bytes` of `total` data bytes done
        Log, // one memo line in `text`
        Finished, // the final record in `record`; always the last event
    };

    Kind kind = Kind::Log;
    TransferPhase phase = TransferPhase::Starting;
    qint64 bytes = 0;
    qint64 total = 0;
    qint64 position = 0; // Progress: the image address reached, what a progress bar shows
    QString text;
    TransferRecord record; // filled for Started and Finished
};

Q_DECLARE_METATYPE(TransferEvent)
