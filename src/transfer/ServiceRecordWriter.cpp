#include "transfer/ServiceRecordWriter.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Tries at most this often when the path keeps being rotated away under us.
constexpr int MaxOpenAttempts = 8;

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

class Fd
{
public:
    explicit Fd(int fd) : m_fd(fd) { }
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd); // also releases the flock
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// mkdir -p, keeping the errno of the step that failed.
int makeDirectories(const QByteArray &dir)
{
    struct stat st;
    if (::stat(dir.constData(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    const qsizetype slash = dir.lastIndexOf('/');
    if (slash > 0) {
        if (const int error = makeDirectories(dir.left(slash)))
            return error;
    }
    if (::mkdir(dir.constData(), 0755) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

// An exclusive flock, waiting at most timeoutMs for another writer. 0 or the errno.
int lockWithin(int fd, int timeoutMs)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    auto pause = milliseconds(1);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            return errno;
        if (steady_clock::now() >= deadline)
            return EWOULDBLOCK;
        // Writers hold the lock for one write(); a short pause is enough.
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, milliseconds(20));
    }
}

bool writeAll(int fd, const QByteArray &bytes, int *error)
{
    // One write() per line: with O_APPEND and the lock held it lands whole. A short write
    // (disk full) leaves a torn line, which the next writer starts a new line after.
    for (;;) {
        const ssize_t n = ::write(fd, bytes.constData(), size_t(bytes.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == bytes.size())
            return true;
        *error = n < 0 ? errno : ENOSPC;
        return false;
    }
}

} // namespace

ServiceRecordWriter::ServiceRecordWriter(QString path, qint64 rotateBytes)
    : m_path(std::move(path)), m_rotateBytes(rotateBytes)
{ }

bool ServiceRecordWriter::append(const TransferRecord &record)
{
    return appendLine(ServiceRecord::toLine(record));
}

bool ServiceRecordWriter::appendLine(const QByteArray &line)
{
    Q_ASSERT(line.endsWith('\n') && line.count('\n') == 1);
    if (m_path.isEmpty())
        return fail(QStringLiteral("no file name"));
    const QByteArray file = QFile::encodeName(m_path);
    const QByteArray dir = QFile::encodeName(QFileInfo(m_path).absolutePath());
    if (const int error = makeDirectories(dir))
        return fail(QStringLiteral("cannot create the folder %1: %2")
                        .arg(QFile::decodeName(dir), errnoText(error)));

    for (int attempt = 0; attempt < MaxOpenAttempts; ++attempt) {
        // Read access for the look at the last byte; O_NONBLOCK so a FIFO in the way cannot
        // hang the transfer (it is refused below).
        const Fd fd(
            ::open(file.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644));
        if (fd.get() < 0)
            return fail(errnoText(errno));
        if (const int error = lockWithin(fd.get(), m_lockTimeoutMs))
            return fail(error == EWOULDBLOCK ? QStringLiteral("locked by another program")
                                             : errnoText(error));
        struct stat own;
        struct stat current;
        if (::fstat(fd.get(), &own) != 0)
            return fail(errnoText(errno));
        if (!S_ISREG(own.st_mode))
            return fail(QStringLiteral("not a regular file"));
        // Another writer may have rotated the file away while this one waited for the lock.
        if (::stat(file.constData(), &current) != 0 || current.st_ino != own.st_ino
            || current.st_dev != own.st_dev)
            continue;
        if (own.st_size > 0 && own.st_size + line.size() > m_rotateBytes) {
            const QByteArray rotated = QFile::encodeName(ServiceRecord::rotatedPath(m_path));
            if (::rename(file.constData(), rotated.constData()) != 0)
                return fail(QStringLiteral("cannot rotate to %1: %2")
                                .arg(QFile::decodeName(rotated), errnoText(errno)));
            continue;
        }
        QByteArray out = line;
        char last = '\n';
        if (own.st_size > 0 && ::pread(fd.get(), &last, 1, own.st_size - 1) == 1 && last != '\n')
            out.prepend('\n'); // a line torn by a crash must not swallow this one
        int error = 0;
        if (!writeAll(fd.get(), out, &error))
            return fail(errnoText(error));
        m_lastError.clear();
        return true;
    }
    return fail(QStringLiteral("the file kept being rotated away"));
}

bool ServiceRecordWriter::fail(const QString &reason)
{
    m_lastError = QStringLiteral("Cannot write the service record %1: %2").arg(m_path, reason);
    if (!m_reported) {
        m_reported = true;
        if (m_errorHandler)
            m_errorHandler(m_lastError);
    }
    return false;
}
