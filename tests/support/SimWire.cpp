#include "support/SimWire.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

SimWire::SimWire(const QString &path)
{
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return;
    termios tio {};
    tcgetattr(m_fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(m_fd, TCSANOW, &tio);
}

SimWire::~SimWire()
{
    close();
}

void SimWire::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool SimWire::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    QElapsedTimer timer;
    timer.start();
    while (m_fd >= 0 && done < bytes.size() && timer.elapsed() < 5000) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p {m_fd, POLLOUT, 0};
            ::poll(&p, 1, 10);
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return done == bytes.size();
}

QByteArray SimWire::read(int count, int timeoutMs)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (m_fd >= 0 && out.size() < count) {
        const qint64 left = timeoutMs - timer.elapsed();
        if (left <= 0)
            break;
        pollfd p {m_fd, POLLIN, 0};
        if (::poll(&p, 1, int(left)) <= 0)
            break;
        if (p.revents & POLLIN) {
            char buffer[4096];
            const ssize_t n
                = ::read(m_fd, buffer, size_t(qMin<qsizetype>(count - out.size(), sizeof buffer)));
            if (n > 0)
                out.append(buffer, int(n));
            else if (n == 0 || errno != EAGAIN)
                break;
        } else if (p.revents & (POLLHUP | POLLERR)) {
            break;
        }
    }
    return out;
}

QByteArray SimWire::readFor(int timeoutMs)
{
    return read(1 << 20, timeoutMs);
}

bool SimWire::hungUp(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (m_fd >= 0 && timer.elapsed() < timeoutMs) {
        pollfd p {m_fd, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) {
            if (p.revents & POLLHUP)
                return true;
            char buffer[256];
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n == 0 || (n < 0 && errno == EIO))
                return true;
        }
    }
    return false;
}

bool SimWire::boot(const QString &loader, const QString &program, QByteArray *answers)
{
    write(QByteArray(1, '\0'));
    QByteArray got = read(1);
    // The device answers at once or never; a refusal costs only this wait.
    write(programBytes(loader));
    got += read(1, 600);
    write(programBytes(program));
    got += read(1, 600);
    if (answers)
        *answers += got;
    return got.size() == 3 && got.mid(1) == QByteArray::fromHex("01AA");
}

QByteArray SimWire::programBytes(const QString &fileName)
{
    QFile file(QDir(qEnvironmentVariable("BRASVIK_SOURCE_DIR"))
                   .filePath(QStringLiteral("sim/H86/") + fileName));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray out;
    for (QByteArray line : file.readAll().split('\n')) {
        line = line.trimmed();
        if (line.size() >= 11 && line.mid(7, 2) == "00")
            out += QByteArray::fromHex(line.mid(9, line.size() - 11));
    }
    return out;
}

QByteArray SimWire::flashFrame(int sector, int address, const QByteArray &data)
{
    QByteArray frame;
    frame.append(char(4 + data.size()));
    frame.append(char(sector));
    frame.append(char(address & 0xFF));
    frame.append(char((address >> 8) & 0xFF));
    frame.append(char((address >> 16) & 0xFF));
    frame += data;
    quint8 sum = 0;
    for (char c : std::as_const(frame))
        sum ^= quint8(c);
    frame.append(char(sum));
    return frame;
}

QByteArray SimWire::retainFrame(const QByteArray &data16)
{
    QByteArray frame(1, char(0x10));
    frame += data16;
    quint8 sum = 0;
    for (char c : std::as_const(frame))
        sum ^= quint8(c);
    frame.append(char(sum));
    return frame;
}

quint8 SimWire::uploadCheck(const QByteArray &data)
{
    quint8 x = 0xAA;
    for (char c : data)
        x ^= quint8(c);
    return x;
}
