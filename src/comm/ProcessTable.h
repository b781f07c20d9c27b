#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

#include <sys/types.h>

// A snapshot of the running processes as a /proc tree shows them: name and the files each one
// holds open. The root is a parameter so that tests build a tree of their own.
class ProcessTable
{
public:
    struct OpenFile
    {
        QString target; // what the fd link reads, e.g. "/dev/ttyUSB0"
        bool identified = false; // dev and ino below are valid
        dev_t dev = 0;
        ino_t ino = 0;
    };

    struct Process
    {
        qint64 pid = 0;
        QString name; // the "comm" line, else the first word of the command line
        QList<OpenFile> files;
        bool filesReadable = true; // false: its fd folder is closed to us (another user's)
    };

    ProcessTable() = default;
    explicit ProcessTable(QList<Process> processes) : m_processes(std::move(processes)) { }

    // Reads every numeric folder under procRoot; processes that vanish while reading are left
    // out.
    static ProcessTable scan(const QString &procRoot = QStringLiteral("/proc"));

    const QList<Process> &processes() const { return m_processes; }

    // Processes whose name is exactly `name`.
    QList<Process> named(const QString &name) const;
    // Processes holding the file at `path` open: the same inode, or a link reading the same
    // path when the inode is not known. Processes in `exclude` are skipped.
    QList<Process> holding(const QString &path, qint64 exclude = -1) const;
    // Processes whose open files could not be read.
    int unreadableCount() const;

private:
    QList<Process> m_processes;
};
