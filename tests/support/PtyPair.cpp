#include "support/PtyPair.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;
    char name[128] = {};
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
        ::close(fd);
        return;
    }
    // Termios calls on the master act on the slave's line.
    termios tio {};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    m_master = fd;
    m_slavePath = QString::fromLocal8Bit(name);
}

PtyPair::~PtyPair()
{
    closeMaster();
}

void PtyPair::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

bool PtyPair::write(const QByteArray &data, int timeoutMs)
{
    if (m_master < 0)
        return false;
    QDeadlineTimer deadline(timeoutMs);
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(m_master, data.constData() + done, size_t(data.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (deadline.hasExpired())
            return false;
        pollfd p {m_master, POLLOUT, 0};
        ::poll(&p, 1, int(qMax<qint64>(1, deadline.remainingTime())));
    }
    return true;
}

QByteArray PtyPair::read(int count, int timeoutMs)
{
    QByteArray result;
    if (m_master < 0)
        return result;
    QDeadlineTimer deadline(timeoutMs);
    char buffer[4096];
    while (result.size() < count) {
        const ssize_t n = ::read(m_master, buffer,
                                 size_t(qMin<qsizetype>(sizeof buffer, count - result.size())));
        if (n > 0) {
            result.append(buffer, n);
            continue;
        }
        // EIO: no slave is open right now; keep waiting until the deadline.
        if (n < 0 && errno == EINTR)
            continue;
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            break;
        pollfd p {m_master, POLLIN, 0};
        const int rc = ::poll(&p, 1, int(qMin<qint64>(left, 20)));
        if (rc > 0 && (p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN))
            ::poll(nullptr, 0, 5); // slave closed: avoid spinning on the hang-up
    }
    return result;
}

QByteArray PtyPair::readAvailable(int quietMs)
{
    QByteArray result;
    for (;;) {
        const QByteArray chunk = read(4096, quietMs);
        if (chunk.isEmpty())
            return result;
        result += chunk;
    }
}
