// Appends records to a service record file for the multi-process test:
//   servicerecord_appender FILE COUNT TAG ROTATE_BYTES
// waits for a line on stdin, so that several appenders start at the same moment, then appends
// COUNT records with the ids TAG-0 .. TAG-(COUNT-1). Exit status 0 when every append succeeded.
#include "transfer/ServiceRecordWriter.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 5)
        return 64;
    ServiceRecordWriter writer(args.at(1), args.at(4).toLongLong());
    writer.setLockTimeoutMs(10000);
    char go[16];
    if (!std::fgets(go, sizeof go, stdin))
        return 65;
    const int count = args.at(2).toInt();
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        TransferRecord record;
        record.id = QStringLiteral("%1-%2").arg(args.at(3)).arg(i);
        record.portPath = QStringLiteral("/dev/pts/%1").arg(args.at(3));
        record.started = QDateTime::currentDateTimeUtc();
        record.outcome = i % 2 ? TransferOutcome::Success : TransferOutcome::Running;
        // Long enough that a torn or interleaved write would show in the middle of a line.
        record.reportText = QString(400 + i % 300, QLatin1Char('a' + i % 26));
        if (!writer.append(record))
            ++failures;
    }
    if (failures)
        std::fprintf(stderr, "%d appends failed: %s\n", failures, qPrintable(writer.lastError()));
    return failures ? 1 : 0;
}
