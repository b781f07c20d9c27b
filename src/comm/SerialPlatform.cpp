#include "comm/SerialPlatform.h"

#include "comm/KTComm.h"

// The kernel's own termios2 (not glibc's termios): it carries arbitrary bit rates (BOTHER),
// which 28800 needs.
#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace SerialPlatform {

namespace {

static_assert(sizeof(termios2) <= sizeof(LineRecord::storage));

termios2 *tio(LineRecord *record)
{
    return reinterpret_cast<termios2 *>(record->storage.data());
}
const termios2 *tio(const LineRecord &record)
{
    return reinterpret_cast<const termios2 *>(record.storage.data());
}

struct StandardRate
{
    int bitsPerSecond;
    tcflag_t code;
};
constexpr StandardRate standardRates[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

} // namespace

int openDevice(const QString &path)
{
    const QByteArray native = path.toLocal8Bit();
    const int fd = ::open(native.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // TIOCEXCL refuses other openers, but not root; the advisory lock covers that.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        errno = EBUSY;
        return -1;
    }
    ::ioctl(fd, TIOCEXCL);
    return fd;
}

bool closeDevice(int fd)
{
    ::ioctl(fd, TIOCNXCL);
    return ::close(fd) == 0;
}

bool readLine(int fd, LineRecord *record)
{
    *record = {};
    return ::ioctl(fd, TCGETS2, tio(record)) == 0;
}

bool writeLine(int fd, const LineRecord &record)
{
    return ::ioctl(fd, TCSETS2, tio(record)) == 0;
}

void makeRaw(LineRecord *record)
{
    termios2 *t = tio(record);
    t->c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    t->c_oflag &= ~tcflag_t(OPOST);
    t->c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t->c_cflag |= CREAD | CLOCAL;
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 0;
}

void setFrame(LineRecord *record, int bitsPerSecond, int dataBitCount, int parityValue,
              int stopBitValue)
{
    termios2 *t = tio(record);
    tcflag_t code = BOTHER;
    for (const StandardRate &rate : standardRates) {
        if (rate.bitsPerSecond == bitsPerSecond)
            code = rate.code;
    }
    // Input rate follows the output rate (CIBAUD cleared).
    t->c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));
    t->c_cflag |= code;
    t->c_ispeed = speed_t(bitsPerSecond);
    t->c_ospeed = speed_t(bitsPerSecond);

    t->c_cflag &= ~tcflag_t(CSIZE);
    t->c_cflag |= dataBitCount == 7 ? CS7 : CS8;

    t->c_cflag &= ~tcflag_t(PARENB | PARODD);
    if (parityValue == 1)
        t->c_cflag |= PARENB | PARODD;
    else if (parityValue == 2)
        t->c_cflag |= PARENB;

    if (stopBitValue == 2)
        t->c_cflag |= CSTOPB;
    else
        t->c_cflag &= ~tcflag_t(CSTOPB);
}

int bitRate(const LineRecord &record)
{
    const termios2 *t = tio(record);
    const tcflag_t code = t->c_cflag & CBAUD;
    if (code == BOTHER)
        return int(t->c_ospeed);
    for (const StandardRate &rate : standardRates) {
        if (rate.code == code)
            return rate.bitsPerSecond;
    }
    return int(t->c_ospeed);
}

int dataBits(const LineRecord &record)
{
    switch (tio(record)->c_cflag & CSIZE) {
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

int parity(const LineRecord &record)
{
    const tcflag_t c = tio(record)->c_cflag;
    if (!(c & PARENB))
        return 0;
    return (c & PARODD) ? 1 : 2;
}

int stopBits(const LineRecord &record)
{
    return (tio(record)->c_cflag & CSTOPB) ? 2 : 0;
}

int inputQueue(int fd)
{
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

int outputQueue(int fd)
{
    int n = 0;
    return ::ioctl(fd, TIOCOUTQ, &n) == 0 ? n : -1;
}

bool purge(int fd)
{
    return ::ioctl(fd, TCFLSH, TCIOFLUSH) == 0;
}

bool errorCounters(int fd, ErrorCounters *counters)
{
    serial_icounter_struct icount {};
    const int saved = errno;
    if (::ioctl(fd, TIOCGICOUNT, &icount) != 0) {
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

quint32 errorFlags(const ErrorCounters &before, const ErrorCounters &now)
{
    quint32 flags = 0;
    if (now.frame != before.frame)
        flags |= CE_FRAME;
    if (now.parity != before.parity)
        flags |= CE_RXPARITY;
    if (now.overrun != before.overrun)
        flags |= CE_OVERRUN;
    if (now.brk != before.brk)
        flags |= CE_BREAK;
    if (now.bufferOverrun != before.bufferOverrun)
        flags |= CE_RXOVER;
    return flags;
}

} // namespace SerialPlatform
