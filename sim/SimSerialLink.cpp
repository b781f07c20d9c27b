#include "SimSerialLink.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcSimSerial, "brasvik.sim.serial", QtWarningMsg)

namespace {

constexpr int HostPollMs = 5;
// Device bytes that fall due within this of each other leave in one write.
constexpr SimClock::Micros TxBatchSlack = 500;
// A tool that stops reading overruns the line; the rest is dropped after this long.
constexpr SimClock::Micros WriteStallLimit = 2'000'000;

speed_t lineSpeed(int baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

bool makeRaw(int fd)
{
    termios tio {};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

} // namespace

SimSerialLink::SimSerialLink(const Config &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_byteNs(config.baud > 0 ? 10'000'000'000LL / config.baud : 0)
{
    m_outbox = std::make_unique<PacedOutbox>(
        TxBatchSlack, [this](QList<PacedOutbox::Item> &&items) { deliver(std::move(items)); });
    m_hostPoll.setInterval(HostPollMs);
    connect(&m_hostPoll, &QTimer::timeout, this, &SimSerialLink::checkHost);
}

SimSerialLink::~SimSerialLink()
{
    m_readNotifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
    removeOwnLink();
}

bool SimSerialLink::open(QString *error)
{
    return m_config.existingPort.isEmpty() ? openPseudoTerminal(error) : openExisting(error);
}

bool SimSerialLink::openPseudoTerminal(QString *error)
{
    const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) {
        *error = QStringLiteral("cannot create a pseudo-terminal: %1")
                     .arg(QString::fromLocal8Bit(strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    char name[128] = {};
    if (ptsname_r(fd, name, sizeof name) != 0) {
        *error = QStringLiteral("cannot name the pseudo-terminal: %1")
                     .arg(QString::fromLocal8Bit(strerror(errno)));
        ::close(fd);
        return false;
    }
    // The tool may not set every flag; start from a raw line as a real port would be.
    makeRaw(fd);
    m_fd = fd;
    m_pseudoTerminal = true;
    m_devicePath = QString::fromLocal8Bit(name);
    if (!m_config.linkPath.isEmpty()) {
        // Replace an old link, but never a file that is something else.
        const QFileInfo existing(m_config.linkPath);
        if (existing.exists() || existing.isSymLink()) {
            if (!existing.isSymLink()) {
                *error = QStringLiteral("%1 exists and is not a link; not replacing it")
                             .arg(m_config.linkPath);
                return false;
            }
            QFile::remove(m_config.linkPath);
        }
        if (!QFile::link(m_devicePath, m_config.linkPath)) {
            *error = QStringLiteral("cannot create the link %1").arg(m_config.linkPath);
            return false;
        }
    }
    m_readNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    m_readNotifier->setEnabled(false);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &SimSerialLink::readReady);
    // Until the tool opens its end the master reports a hang-up; watch for the open.
    m_hostPresent = false;
    m_hostPoll.start();
    return true;
}

bool SimSerialLink::openExisting(QString *error)
{
    const QByteArray path = QFile::encodeName(m_config.existingPort);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("cannot open %1: %2")
                     .arg(m_config.existingPort, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (!makeRaw(fd)) {
        *error = QStringLiteral("%1 is not a serial device").arg(m_config.existingPort);
        ::close(fd);
        return false;
    }
    if (m_config.baud > 0) {
        // A real line paces itself: set its rate instead of pacing in software.
        const speed_t speed = lineSpeed(m_config.baud);
        termios tio {};
        if (speed == B0 || tcgetattr(fd, &tio) != 0 || cfsetspeed(&tio, speed) != 0
            || tcsetattr(fd, TCSANOW, &tio) != 0) {
            *error = QStringLiteral("cannot set %1 to %2 bit/s")
                         .arg(m_config.existingPort)
                         .arg(m_config.baud);
            ::close(fd);
            return false;
        }
        m_byteNs = 0;
    }
    m_fd = fd;
    m_devicePath = m_config.existingPort;
    m_hostPresent = true;
    m_readNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &SimSerialLink::readReady);
    return true;
}

bool SimSerialLink::hostModemLines(bool *dtr, bool *rts) const
{
    int bits = 0;
    if (m_fd < 0 || m_pseudoTerminal || ::ioctl(m_fd, TIOCMGET, &bits) != 0)
        return false;
    *dtr = (bits & TIOCM_DSR) != 0;
    *rts = (bits & TIOCM_CTS) != 0;
    return true;
}

void SimSerialLink::checkHost()
{
    if (m_fd < 0)
        return;
    pollfd p {m_fd, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0 || (p.revents & POLLHUP))
        return;
    m_hostPresent = true;
    m_hostPoll.stop();
    m_readNotifier->setEnabled(true);
    qCDebug(lcSimSerial) << "host opened" << m_devicePath;
    emit hostOpened();
    readReady();
}

void SimSerialLink::readReady()
{
    if (m_fd < 0)
        return;
    char buffer[4096];
    const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
    if (n > 0) {
        const SimClock::Micros now = SimClock::now();
        QByteArray bytes(buffer, int(n));
        emit traffic(true, bytes, now);
        if (m_config.hangupAfterRx >= 0 && m_rxCount + n > m_config.hangupAfterRx)
            bytes.truncate(int(m_config.hangupAfterRx - m_rxCount));
        m_rxCount += bytes.size();
        qint64 firstNs = now * 1000;
        if (m_byteNs > 0 && !bytes.isEmpty()) {
            firstNs = qMax(now * 1000, m_rxFreeNs) + m_byteNs;
            m_rxFreeNs = firstNs + (bytes.size() - 1) * m_byteNs;
        }
        if (!bytes.isEmpty())
            emit received(bytes, firstNs, m_byteNs);
        if (m_config.hangupAfterRx >= 0 && m_rxCount >= m_config.hangupAfterRx && m_fd >= 0)
            closeDevice(QStringLiteral("hang-up after %1 bytes received").arg(m_rxCount));
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    // EOF or EIO: the tool has closed its end of the pseudo-terminal.
    if (m_pseudoTerminal) {
        m_readNotifier->setEnabled(false);
        m_outbox->clear();
        m_hangupQueued = false;
        if (m_hostPresent) {
            m_hostPresent = false;
            qCDebug(lcSimSerial) << "host closed" << m_devicePath;
            emit hostClosed();
        }
        m_hostPoll.start();
    } else {
        closeDevice(QStringLiteral("the serial device failed: %1")
                        .arg(QString::fromLocal8Bit(strerror(errno))));
    }
}

void SimSerialLink::send(const QByteArray &bytes, SimClock::Micros at)
{
    if (m_fd < 0 || bytes.isEmpty())
        return;
    if (m_byteNs == 0) {
        m_outbox->push(at, 0, bytes);
        return;
    }
    // Each byte leaves when the line has carried it (full duplex: the transmit line has a
    // clock of its own).
    qint64 t = qMax(at * 1000, m_txFreeNs);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        t += m_byteNs;
        m_outbox->push((t + 999) / 1000, 0, QByteArray(1, bytes[i]), i + 1 == bytes.size());
    }
    m_txFreeNs = t;
}

void SimSerialLink::hangUpAfterQueued(const QString &why)
{
    if (m_fd < 0 || m_hangupQueued)
        return;
    m_hangupQueued = true;
    m_outbox->push(m_outbox->lastDue(), HangUpTag, why.toUtf8());
}

void SimSerialLink::deliver(QList<PacedOutbox::Item> &&items)
{
    QByteArray out;
    for (const PacedOutbox::Item &item : items) {
        if (item.tag == HangUpTag) {
            writeOut(out);
            out.clear();
            closeDevice(QString::fromUtf8(item.data));
            return;
        }
        out += item.data;
    }
    writeOut(out);
}

void SimSerialLink::writeOut(const QByteArray &bytes)
{
    if (bytes.isEmpty() || m_fd < 0)
        return;
    QByteArray out = bytes;
    bool hangUpNow = false;
    if (m_config.hangupAfterTx >= 0 && m_txCount + out.size() >= m_config.hangupAfterTx) {
        out.truncate(int(m_config.hangupAfterTx - m_txCount));
        hangUpNow = true;
    }
    qsizetype done = 0;
    const SimClock::Micros giveUp = SimClock::now() + WriteStallLimit;
    while (done < out.size() && SimClock::now() < giveUp) {
        const ssize_t n = ::write(m_fd, out.constData() + done, size_t(out.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EAGAIN) {
            // The tool is not reading; a real line would overrun. Wait for room briefly.
            pollfd p {m_fd, POLLOUT, 0};
            ::poll(&p, 1, 10);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            qCDebug(lcSimSerial) << "write failed" << strerror(errno);
            break;
        }
    }
    m_txCount += done;
    emit traffic(false, out.left(done), SimClock::now());
    if (hangUpNow)
        closeDevice(QStringLiteral("hang-up after %1 bytes sent").arg(m_txCount));
}

void SimSerialLink::removeOwnLink()
{
    if (m_config.linkPath.isEmpty() || !m_pseudoTerminal)
        return;
    // Only the link that still points at this line: a newer run may have taken the name.
    if (QFileInfo(m_config.linkPath).symLinkTarget() == m_devicePath)
        QFile::remove(m_config.linkPath);
}

void SimSerialLink::closeDevice(const QString &why)
{
    if (m_fd < 0)
        return;
    m_readNotifier.reset();
    m_hostPoll.stop();
    m_outbox->clear();
    ::close(m_fd);
    m_fd = -1;
    removeOwnLink();
    emit hungUp(why);
}
