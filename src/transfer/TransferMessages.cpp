#include "transfer/TransferMessages.h"

#include "transfer/TargetDiagnosis.h"

#include <QDir>
#include <QFileInfo>

namespace TransferMessages {

QString portLine(const QString &portName, const QString &portPath)
{
    if (portName.isEmpty())
        return {};
    if (portPath.isEmpty())
        return QStringLiteral("Port: %1").arg(portName);
    return QStringLiteral("Port: %1 (%2)").arg(portName, portPath);
}

QString openComError(const QString &systemText, const QString &portName, const QString &portPath)
{
    QString text = systemText.trimmed().isEmpty() ? QStringLiteral("Unknown Error!") : systemText;
    const QString port = portLine(portName, portPath);
    if (!port.isEmpty())
        text += QStringLiteral("\r\n\r\n") + port;
    return text;
}

QString missingTargetFile(const QString &filePath, const QString &operationWord,
                          const QStringList &searchPath)
{
    const QFileInfo info(filePath);
    const QString folder = QDir::cleanPath(info.absolutePath());
    QStringList folders;
    for (const QString &entry : searchPath)
        folders.append(QDir::cleanPath(entry));
    // A file named outside the search (a test, a folder given for one run) names its own folder.
    if (!folders.contains(folder))
        folders = QStringList {folder};
    return QStringLiteral("Missing bootstrap loader file!\r\n\r\nFile: %1\r\n\r\n"
                          "%2 will be aborted!\r\n\r\n%3: %4")
        .arg(info.fileName(), operationWord,
             folders.size() == 1 ? QStringLiteral("Folder searched")
                                 : QStringLiteral("Folders searched"),
             TargetDiagnosis::folderList(folders, folder));
}

QString canBusSettingTitle()
{
    return QStringLiteral("CAN bus setting error");
}

QString withHint(const QString &text, const QString &hint)
{
    if (hint.trimmed().isEmpty())
        return text;
    return text + QStringLiteral("\r\n\r\n") + hint;
}

QString noAnswerText(TransferPhase phase, const QString &reportText)
{
    if (phase != TransferPhase::Identification
        || !reportText.trimmed().endsWith(QLatin1String("TIMEOUT")))
        return {};
    return QStringLiteral("No answer to the boot byte: the device did not send its target ID.\r\n"
                          "Check the cable and the port, and put the device into its boot mode "
                          "(boot switch, then reset).");
}

QString readingStoppedText(const TransferRecord &record)
{
    if (record.operation == TransferOperation::Download
        || record.outcome == TransferOutcome::Success || record.failedPhase != TransferPhase::Data
        || !record.reportText.trimmed().endsWith(QLatin1String("TIMEOUT")))
        return {};
    QString where;
    if (record.failedAddress >= 0) {
        where
            = QStringLiteral(" at address %1h")
                  .arg(QString::number(record.failedAddress, 16).toUpper().rightJustified(6, u'0'));
        if (record.failedSector >= 0)
            where += QStringLiteral(" (sector %1)").arg(record.failedSector);
    }
    return QStringLiteral("No answer while reading%1: the device stopped sending after %2 of %3 "
                          "bytes.\r\nCheck the cable and the port, put the device into its boot "
                          "mode again and repeat the reading; a reading changes nothing on the "
                          "device.")
        .arg(where)
        .arg(record.bytes)
        .arg(record.totalBytes);
}

QString resumedNote(const TransferRecord &record)
{
    if (record.outcome != TransferOutcome::Success || record.resumedFromSector < 0)
        return {};
    return QStringLiteral("The download was resumed: the image was programmed from sector %1 on.")
        .arg(record.resumedFromSector);
}

QString stopQuestion(const TransferRecord &record)
{
    if (record.operation != TransferOperation::Download)
        return QStringLiteral("Stop the reading?");
    QString text = QStringLiteral("A download is running. Stop it? The device will be left partly "
                                  "programmed");
    if (record.resumeSector >= 0)
        text += QStringLiteral("; you can resume from sector %1").arg(record.resumeSector);
    return text + u'.';
}

} // namespace TransferMessages
