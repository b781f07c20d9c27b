#include "transfer/ServiceRecord.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace ServiceRecord {

QString defaultPath()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // A relative XDG_STATE_HOME is invalid and must be ignored, like an unset one.
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return QDir::cleanPath(base + QStringLiteral("/Halvero/BrasvikV6/transfers.jsonl"));
}

QString rotatedPath(const QString &path)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    QString rotated;
    if (dot <= 0) // no suffix, or a hidden file's leading dot only
        rotated = name + QStringLiteral(".1");
    else
        rotated = name.left(dot) + QStringLiteral(".1") + name.mid(dot);
    const QString dir = path.left(path.size() - name.size());
    return dir + rotated;
}

QByteArray toLine(const TransferRecord &record)
{
    // Compact JSON escapes every line break inside strings, so a record is always one line.
    QByteArray line = QJsonDocument(record.toJson()).toJson(QJsonDocument::Compact);
    line.append('\n');
    return line;
}

std::optional<TransferRecord> fromLine(QByteArrayView line)
{
    while (!line.isEmpty() && (line.back() == '\n' || line.back() == '\r'))
        line.chop(1);
    if (line.isEmpty() || line.front() != '{')
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    // Without an id a line cannot be paired with its start or end; it is not one of ours.
    if (!object.value(QStringLiteral("id")).isString()
        || object.value(QStringLiteral("id")).toString().isEmpty())
        return std::nullopt;
    return TransferRecord::fromJson(object);
}

} // namespace ServiceRecord
