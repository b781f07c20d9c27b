#include "comm/PosixSerialBackend.h"

// The kernel's own termios2 (not glibc's termios): it carries arbitrary bit rates (BOTHER).
#include <asm/termbits.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

static_assert(sizeof(termios2) <= 64);

struct StandardRate
{
    int bitsPerSecond;
    tcflag_t code;
};
constexpr StandardRate standardRates[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

void makeRaw(termios2 *t)
{
    t->c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    t->c_oflag &= ~tcflag_t(OPOST);
    t->c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t->c_cflag |= CREAD | CLOCAL;
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 0;
}

void setFrame(termios2 *t, const SerialBackend::LineSettings &line)
{
    tcflag_t code = BOTHER;
    for (const StandardRate &rate : standardRates) {
        if (rate.bitsPerSecond == line.bitsPerSecond)
            code = rate.code;
    }
    // Input rate follows the output rate (CIBAUD cleared).
    t->c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));
    t->c_cflag |= code;
    t->c_ispeed = speed_t(line.bitsPerSecond);
    t->c_ospeed = speed_t(line.bitsPerSecond);

    t->c_cflag &= ~tcflag_t(CSIZE);
    t->c_cflag |= line.dataBits == 7 ? CS7 : CS8;

    t->c_cflag &= ~tcflag_t(PARENB | PARODD);
    if (line.parity == 1)
        t->c_cflag |= PARENB | PARODD;
    else if (line.parity == 2)
        t->c_cflag |= PARENB;

    if (line.stopBits == 2)
        t->c_cflag |= CSTOPB;
    else
        t->c_cflag &= ~tcflag_t(CSTOPB);

    if (line.flow == SerialBackend::FlowControl::Hardware)
        t->c_cflag |= CRTSCTS;
    else if (line.flow == SerialBackend::FlowControl::None)
        t->c_cflag &= ~tcflag_t(CRTSCTS);
}

int bitRateOf(const termios2 &t)
{
    const tcflag_t code = t.c_cflag & CBAUD;
    if (code != BOTHER) {
        for (const StandardRate &rate : standardRates) {
            if (rate.code == code)
                return rate.bitsPerSecond;
        }
    }
    return int(t.c_ospeed);
}

int dataBitsOf(const termios2 &t)
{
    switch (t.c_cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

bool wouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

} // namespace

std::unique_ptr<SerialBackend> SerialBackend::createDefault()
{
    return std::make_unique<PosixSerialBackend>();
}

// The wake-up descriptor lives as long as the backend, so a late wake() never writes into a
// descriptor number that a later opening has reused.
PosixSerialBackend::PosixSerialBackend() : m_wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) { }

PosixSerialBackend::~PosixSerialBackend()
{
    if (isOpen())
        close();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

bool PosixSerialBackend::open(const QString &path)
{
    if (isOpen()) {
        errno = EBUSY;
        return false;
    }
    const QByteArray native = path.toLocal8Bit();
    const int fd = ::open(native.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    // TIOCEXCL refuses other openers, but not root; the advisory lock covers that.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        errno = EBUSY;
        return false;
    }
    if (m_wakeFd < 0) {
        ::close(fd);
        errno = EMFILE;
        return false;
    }
    ::ioctl(fd, TIOCEXCL);
    // A wake-up left from the previous opening would end the first wait for nothing.
    quint64 stale = 0;
    (void)!::read(m_wakeFd, &stale, sizeof stale);
    m_haveLine = false;
    m_fd = fd;
    return true;
}

bool PosixSerialBackend::close()
{
    const int fd = m_fd.exchange(-1);
    if (fd < 0)
        return true;
    ::ioctl(fd, TCFLSH, TCIOFLUSH);
    ::ioctl(fd, TIOCNXCL);
    const bool closed = ::close(fd) == 0;
    m_haveLine = false;
    return closed;
}

bool PosixSerialBackend::configure(const LineSettings &line)
{
    const int fd = m_fd;
    auto *t = reinterpret_cast<termios2 *>(m_line.data());
    if (!m_haveLine) {
        *t = {};
        if (::ioctl(fd, TCGETS2, t) != 0)
            return false;
        makeRaw(t);
        m_haveLine = true;
    }
    setFrame(t, line);
    return ::ioctl(fd, TCSETS2, t) == 0;
}

bool PosixSerialBackend::lineSettings(LineSettings *line) const
{
    termios2 t {};
    if (::ioctl(m_fd.load(), TCGETS2, &t) != 0)
        return false;
    line->bitsPerSecond = bitRateOf(t);
    line->dataBits = dataBitsOf(t);
    line->parity = !(t.c_cflag & PARENB) ? 0 : (t.c_cflag & PARODD) ? 1 : 2;
    line->stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
    line->flow = (t.c_cflag & CRTSCTS) ? FlowControl::Hardware : FlowControl::None;
    return true;
}

qint64 PosixSerialBackend::read(char *buffer, qint64 count)
{
    const ssize_t n = ::read(m_fd.load(), buffer, size_t(count));
    if (n >= 0)
        return n;
    return wouldBlock() ? 0 : -1;
}

qint64 PosixSerialBackend::write(const char *data, qint64 count)
{
    const ssize_t n = ::write(m_fd.load(), data, size_t(count));
    if (n >= 0)
        return n;
    return wouldBlock() ? 0 : -1;
}

bool PosixSerialBackend::discardInput()
{
    return ::ioctl(m_fd.load(), TCFLSH, TCIFLUSH) == 0;
}

int PosixSerialBackend::inputQueue()
{
    int n = 0;
    return ::ioctl(m_fd.load(), FIONREAD, &n) == 0 ? n : -1;
}

int PosixSerialBackend::outputQueue()
{
    int n = 0;
    return ::ioctl(m_fd.load(), TIOCOUTQ, &n) == 0 ? n : -1;
}

bool PosixSerialBackend::errorCounters(ErrorCounters *counters)
{
    serial_icounter_struct icount {};
    const int saved = errno;
    if (::ioctl(m_fd.load(), TIOCGICOUNT, &icount) != 0) {
        errno = saved;
        return false;
    }
    counters->frame = quint32(icount.frame);
    counters->parity = quint32(icount.parity);
    counters->overrun = quint32(icount.overrun);
    counters->brk = quint32(icount.brk);
    counters->bufferOverrun = quint32(icount.buf_overrun);
    return true;
}

quint32 PosixSerialBackend::wait(quint32 interest, int timeoutMs)
{
    short events = 0;
    if (interest & Readable)
        events |= POLLIN;
    if (interest & Writable)
        events |= POLLOUT;
    const bool watchLine = interest & (Readable | Writable | LineDown);
    pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {watchLine ? m_fd.load() : -1, events, 0}};
    const int rc = ::poll(fds, 2, timeoutMs);
    if (rc < 0)
        return errno == EINTR ? 0 : quint32(LineDown);
    quint32 ready = 0;
    if (fds[0].revents & POLLIN) {
        quint64 count = 0;
        (void)!::read(fds[0].fd, &count, sizeof count);
        ready |= Woken;
    }
    const short r = fds[1].revents;
    if (r & (POLLHUP | POLLERR | POLLNVAL))
        ready |= LineDown;
    if (r & POLLIN)
        ready |= Readable;
    if (r & POLLOUT)
        ready |= Writable;
    return ready;
}

bool PosixSerialBackend::lineIsDown()
{
    pollfd fd {m_fd.load(), 0, 0};
    return ::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLHUP | POLLERR | POLLNVAL));
}

void PosixSerialBackend::wake()
{
    const quint64 one = 1;
    (void)!::write(m_wakeFd, &one, sizeof one);
}

SerialBackend::ModemResult PosixSerialBackend::setModemLine(ModemLine line, bool on)
{
    const int fd = m_fd.load();
    if (fd < 0) {
        errno = EBADF;
        return ModemResult::Failed;
    }
    const auto *t = reinterpret_cast<const termios2 *>(m_line.data());
    if (line == ModemLine::RTS && m_haveLine && (t->c_cflag & CRTSCTS))
        return ModemResult::CannotSet;
    int bits = line == ModemLine::DTR ? TIOCM_DTR : TIOCM_RTS;
    if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0)
        return ModemResult::Set;
    if (errno == ENOTTY || errno == EINVAL || errno == ENOTSUP)
        return ModemResult::CannotSet;
    return ModemResult::Failed;
}
