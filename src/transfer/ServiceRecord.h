#pragma once

#include "transfer/TransferRecord.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// The service record: every transfer's record as one compact JSON object per line, a line when
// it starts and one when it ends (same id). Where the file lives and how a line looks; the
// writer and the reader are ServiceRecordWriter and ServiceRecordReader.
namespace ServiceRecord {

// Past this size the file is moved to its rotated name before the next line goes in.
constexpr qint64 DefaultRotateBytes = 10 * 1024 * 1024;

// $XDG_STATE_HOME/Halvero/BrasvikV6/transfers.jsonl, ~/.local/state/... when that is unset or
// not an absolute path.
QString defaultPath();
// "transfers.jsonl" -> "transfers.1.jsonl"; a name without a suffix gets ".1" appended.
QString rotatedPath(const QString &path);

// The record as compact JSON with the terminating '\n'.
QByteArray toLine(const TransferRecord &record);
// A line (with or without its '\n') back into a record; nothing for a torn or foreign line.
std::optional<TransferRecord> fromLine(QByteArrayView line);

} // namespace ServiceRecord
