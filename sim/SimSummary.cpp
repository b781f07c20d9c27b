#include "SimSummary.h"

QStringList SimSummary::lines() const
{
    QStringList out;
    out << QStringLiteral("loader: %1").arg(loader.isEmpty() ? QStringLiteral("-") : loader);
    out << QStringLiteral("program: %1").arg(program.isEmpty() ? QStringLiteral("-") : program);
    out << QStringLiteral("erased: %1")
               .arg(erased.isEmpty() ? QStringLiteral("nothing")
                                     : erased.join(QStringLiteral("; ")));
    out << QStringLiteral("programmed: %1 flash bytes, %2 retain bytes in %3 blocks")
               .arg(flashBytesProgrammed)
               .arg(retainBytesProgrammed)
               .arg(blocksProgrammed);
    out << QStringLiteral("refused: %1 bad checksums, %2 compare errors")
               .arg(checksumRefusals)
               .arg(compareErrors);
    out << QStringLiteral("read: %1 bytes, %2 blocks sent again").arg(bytesRead).arg(blocksResent);
    out << QStringLiteral("faults: %1")
               .arg(faultsInjected.isEmpty() ? QStringLiteral("none")
                                             : faultsInjected.join(QStringLiteral("; ")));
    out << QStringLiteral("result: %1").arg(result);
    return out;
}
