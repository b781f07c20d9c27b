#pragma once

#include <QByteArray>
#include <QString>

// A pseudo-terminal pair for tests: the slave's path stands in for a serial device, the test
// talks through the master. The line is raw from the start, so nothing is echoed or translated.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isOpen() const { return m_master >= 0; }
    // e.g. /dev/pts/7
    QString devicePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }

    // Writes all of data within timeoutMs; false when that fails.
    bool write(const QByteArray &data, int timeoutMs = 2000);
    // Reads until count bytes have arrived or timeoutMs has passed; returns what arrived.
    QByteArray read(int count, int timeoutMs = 2000);
    // Everything that arrives until the line has been quiet for quietMs.
    QByteArray readAvailable(int quietMs = 50);
    // Closes the master: the slave side sees a hang-up.
    void closeMaster();

private:
    int m_master = -1;
    QString m_slavePath;
};
