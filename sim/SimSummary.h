#pragma once

#include <QString>
#include <QStringList>

// What happened during a run, printed at its end.
struct SimSummary
{
    QString loader;
    QString program;
    QStringList erased; // one entry per erase, e.g. "sectors 0..10 (000000h-07FFFFh)"
    qint64 flashBytesProgrammed = 0;
    qint64 retainBytesProgrammed = 0;
    qint64 blocksProgrammed = 0;
    qint64 checksumRefusals = 0; // frames refused for a bad checksum
    qint64 compareErrors = 0;
    qint64 bytesRead = 0;
    qint64 blocksResent = 0;
    QStringList faultsInjected;
    QString result = QStringLiteral("no transfer");

    QStringList lines() const;
};
