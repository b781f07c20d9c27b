#include "comm/ProcessTable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString readLink(const QByteArray &path)
{
    char buffer[4096];
    const ssize_t n = ::readlink(path.constData(), buffer, sizeof buffer - 1);
    return n > 0 ? QFile::decodeName(QByteArray(buffer, int(n))) : QString();
}

QString processName(const QDir &dir)
{
    QFile comm(dir.filePath(QStringLiteral("comm")));
    if (comm.open(QIODevice::ReadOnly)) {
        const QString name = QString::fromLocal8Bit(comm.readAll()).trimmed();
        if (!name.isEmpty())
            return name;
    }
    QFile cmdline(dir.filePath(QStringLiteral("cmdline")));
    if (cmdline.open(QIODevice::ReadOnly)) {
        const QByteArray first = cmdline.readAll().split('\0').value(0);
        return QFileInfo(QString::fromLocal8Bit(first)).fileName();
    }
    return {};
}

} // namespace

ProcessTable ProcessTable::scan(const QString &procRoot)
{
    QList<Process> processes;
    const QDir root(procRoot);
    const QStringList entries = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QDir dir(root.filePath(entry));
        Process p;
        p.pid = pid;
        p.name = processName(dir);
        const QString fdPath = dir.filePath(QStringLiteral("fd"));
        if (::access(QFile::encodeName(fdPath).constData(), R_OK | X_OK) != 0) {
            if (errno == ENOENT) {
                // Gone while we looked, or a tree without fd folders: nothing held.
                if (QFileInfo::exists(dir.path()))
                    processes.append(p);
                continue;
            }
            p.filesReadable = false;
            processes.append(p);
            continue;
        }
        const QDir fdDir(fdPath);
        const QStringList fds
            = fdDir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &fd : fds) {
            const QByteArray link = QFile::encodeName(fdDir.filePath(fd));
            OpenFile f;
            f.target = readLink(link);
            struct stat st;
            if (::stat(link.constData(), &st) == 0) {
                f.identified = true;
                f.dev = st.st_dev;
                f.ino = st.st_ino;
            }
            if (!f.target.isEmpty() || f.identified)
                p.files.append(f);
        }
        processes.append(p);
    }
    return ProcessTable(std::move(processes));
}

QList<ProcessTable::Process> ProcessTable::named(const QString &name) const
{
    QList<Process> out;
    for (const Process &p : m_processes) {
        if (p.name == name)
            out.append(p);
    }
    return out;
}

QList<ProcessTable::Process> ProcessTable::holding(const QString &path, qint64 exclude) const
{
    struct stat st;
    const bool known = ::stat(QFile::encodeName(path).constData(), &st) == 0;
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const QString canonical = QFileInfo(path).canonicalFilePath();
    QList<Process> out;
    for (const Process &p : m_processes) {
        if (p.pid == exclude)
            continue;
        for (const OpenFile &f : p.files) {
            const bool sameFile = known && f.identified
                ? f.dev == st.st_dev && f.ino == st.st_ino
                : f.target == absolute || (!canonical.isEmpty() && f.target == canonical);
            if (sameFile) {
                out.append(p);
                break;
            }
        }
    }
    return out;
}

int ProcessTable::unreadableCount() const
{
    return int(std::count_if(m_processes.begin(), m_processes.end(),
                             [](const Process &p) { return !p.filesReadable; }));
}
