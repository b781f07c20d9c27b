#pragma once

#include "transfer/TransferRecord.h"

#include <QList>
#include <QString>

#include <functional>
#include <optional>

// Reads a service record file from its end, so that the latest records of a full 10 MiB file
// cost a few blocks. A transfer's start and end lines are merged by id, the end line winning.
// Torn or foreign lines are skipped. When the file holds fewer than asked for, the reading goes
// on into the rotated file.
class ServiceRecordReader
{
public:
    struct Result
    {
        QList<TransferRecord> records; // oldest first
        int skippedLines = 0; // torn, garbage or foreign lines met on the way
        QString error; // set when a file exists but cannot be read
    };

    // The `count` latest records (that `matches`, when given: every line of a transfer names
    // the same unit, port and image). A missing file is no error, just no records.
    static Result latest(const QString &path, int count,
                         const std::function<bool(const TransferRecord &)> &matches = {});

    // The latest record that `matches` (start or end line, whichever comes last), for example
    // the last transfer on a port.
    static std::optional<TransferRecord>
    latestWhere(const QString &path, const std::function<bool(const TransferRecord &)> &matches,
                QString *error = nullptr);
    static std::optional<TransferRecord> latestForPort(const QString &path, const QString &portPath,
                                                       QString *error = nullptr);
};
