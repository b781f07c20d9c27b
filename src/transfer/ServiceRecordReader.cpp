#include "transfer/ServiceRecordReader.h"

#include "transfer/ServiceRecord.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <utility>

namespace {

constexpr qint64 ChunkBytes = 64 * 1024;
// A record is a few kilobytes at most; anything longer is garbage and is skipped whole.
constexpr qsizetype MaxLineBytes = 1024 * 1024;

// Hands out the lines of a file from the last to the first.
class BackwardLines
{
public:
    enum class Next { Line, Overlong, End };

    explicit BackwardLines(QFile &file) : m_file(file), m_position(file.size()) { }

    // End at the start of the file or on a read error (see failed()).
    Next next(QByteArray *line)
    {
        for (;;) {
            const qsizetype newline = m_carry.lastIndexOf('\n');
            if (newline >= 0 || (m_position == 0 && !m_done)) {
                *line = m_carry.mid(newline + 1); // all of it without a newline
                m_carry.truncate(std::max<qsizetype>(newline, 0));
                if (newline < 0)
                    m_done = true;
                const bool overlong = std::exchange(m_overlong, false);
                return overlong ? Next::Overlong : Next::Line;
            }
            if (m_position == 0)
                return Next::End;
            if (m_carry.size() > MaxLineBytes) {
                // Only the part before the line's start is still to come; drop what is here.
                m_carry.clear();
                m_overlong = true;
            }
            const qint64 size = std::min(ChunkBytes, m_position);
            m_position -= size;
            if (!m_file.seek(m_position)) {
                m_failed = true;
                return Next::End;
            }
            const QByteArray chunk = m_file.read(size);
            if (chunk.size() != size) {
                m_failed = true;
                return Next::End;
            }
            m_carry.prepend(chunk);
        }
    }
    bool failed() const { return m_failed; }

private:
    QFile &m_file;
    qint64 m_position;
    QByteArray m_carry;
    bool m_overlong = false;
    bool m_done = false;
    bool m_failed = false;
};

// Feeds the records of the file and then of its rotated predecessor, latest first, to `visit`
// until it returns false. Returns the number of lines that were no record.
int scan(const QString &path, const std::function<bool(TransferRecord &&)> &visit, QString *error)
{
    int skipped = 0;
    for (const QString &name : {path, ServiceRecord::rotatedPath(path)}) {
        if (!QFileInfo::exists(name))
            continue;
        QFile file(name);
        if (QFileInfo(name).isDir() || !file.open(QIODevice::ReadOnly)) {
            if (error && error->isEmpty())
                *error = QStringLiteral("Cannot read %1: %2")
                             .arg(name,
                                  QFileInfo(name).isDir() ? QStringLiteral("is a folder")
                                                          : file.errorString());
            return skipped;
        }
        BackwardLines lines(file);
        QByteArray line;
        for (;;) {
            const BackwardLines::Next next = lines.next(&line);
            if (next == BackwardLines::Next::End)
                break;
            if (next == BackwardLines::Next::Overlong) {
                ++skipped;
                continue;
            }
            if (line.trimmed().isEmpty())
                continue;
            std::optional<TransferRecord> record = ServiceRecord::fromLine(line);
            if (!record) {
                ++skipped;
                continue;
            }
            if (!visit(std::move(*record)))
                return skipped;
        }
        if (lines.failed() && error && error->isEmpty())
            *error = QStringLiteral("Cannot read %1: %2").arg(name, file.errorString());
    }
    return skipped;
}

} // namespace

ServiceRecordReader::Result
ServiceRecordReader::latest(const QString &path, int count,
                            const std::function<bool(const TransferRecord &)> &matches)
{
    Result result;
    if (count <= 0)
        return result;
    QHash<QString, qsizetype> indexById;
    result.skippedLines = scan(
        path,
        [&](TransferRecord &&record) {
            if (matches && !matches(record))
                return true;
            const auto it = indexById.constFind(record.id);
            if (it == indexById.cend()) {
                if (result.records.size() >= count)
                    return false;
                indexById.insert(record.id, result.records.size());
                result.records.append(std::move(record));
            } else if (result.records[*it].outcome == TransferOutcome::Running
                       && record.outcome != TransferOutcome::Running) {
                result.records[*it] = std::move(record);
            }
            return true;
        },
        &result.error);
    std::reverse(result.records.begin(), result.records.end());
    return result;
}

std::optional<TransferRecord> ServiceRecordReader::latestWhere(
    const QString &path, const std::function<bool(const TransferRecord &)> &matches, QString *error)
{
    std::optional<TransferRecord> found;
    scan(
        path,
        [&](TransferRecord &&record) {
            if (!matches(record))
                return true;
            found = std::move(record);
            return false;
        },
        error);
    return found;
}

std::optional<TransferRecord>
ServiceRecordReader::latestForPort(const QString &path, const QString &portPath, QString *error)
{
    return latestWhere(
        path, [&](const TransferRecord &record) { return record.portPath == portPath; }, error);
}
