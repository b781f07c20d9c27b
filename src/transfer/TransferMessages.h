#pragma once

#include "transfer/TransferRecord.h"

#include <QString>
#include <QStringList>

// The texts of the boxes that stop a transfer before it starts, where each names what it tried
// (the port and its device path, the folders searched), so that the user need not guess which
// setting to look at. "\r\n" line breaks, as in every box of a transfer.
namespace TransferMessages {

// "Port: COM2 (/dev/ttyUSB1)"; empty without a port name, the name alone without a path.
QString portLine(const QString &portName, const QString &portPath);

// The "Open COM error" text: the system's text ("Unknown Error!" when it is blank), then the
// port line after a blank line.
QString openComError(const QString &systemText, const QString &portName, const QString &portPath);

// The missing-target-file text for `filePath`: the file's bare name, "<operation> will be
// aborted!", then the folders searched in order (TargetDiagnosis::folderList) with the
// folder of `filePath` as the one taken.
QString missingTargetFile(const QString &filePath, const QString &operationWord,
                          const QStringList &searchPath);

// The CAN bus setting cannot name a bus: the caption of its box.
QString canBusSettingTitle();

// `text` with `hint` as its last line, after a blank line; `text` alone without a hint.
QString withHint(const QString &text, const QString &hint);

// What to say below the report of a transfer that ended in `phase` with `reportText`, when its
// boot byte got no answer: which step that was and what to check. Empty for any other end.
QString noAnswerText(TransferPhase phase, const QString &reportText);

// What to say below the report of a reading (upload or compare) that got no more answer while
// the data came: where it stopped and what to do, as a download says where it can resume.
// Empty for any other end.
QString readingStoppedText(const TransferRecord &record);

// Under the success report of a resumed download: where it began. Empty for anything else.
QString resumedNote(const TransferRecord &record);

// The question before a running transfer's window is closed: a download names the sector it
// can be resumed from (the record's resume sector), when there is one.
QString stopQuestion(const TransferRecord &record);

} // namespace TransferMessages
