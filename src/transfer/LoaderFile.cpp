#include "transfer/LoaderFile.h"

#include "core/HexRecord.h"

#include <QFile>
#include <QTextStream>

namespace LoaderFile {

bool readLines(const QString &path, QStringList *lines, QString *error)
{
    lines->clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("Cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    QTextStream stream(&file);
    stream.setEncoding(QStringConverter::Latin1);
    QString line;
    while (stream.readLineInto(&line))
        lines->append(line);
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("Cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace LoaderFile

QByteArray ConvertLoaderFile(const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines) {
        // Data records only; their data field runs up to the two unread checksum digits.
        const QByteArray record = line.toLatin1();
        if (record.size() < HexRecord::MinLength
            || HexRecord::type(record) != HexRecord::Type::Data)
            continue;
        HexRecord::appendData(record, bytes);
    }
    return bytes;
}
