#include "core/OutputFile.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    if (S_ISFIFO(mode))
        return QStringLiteral("a named pipe");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("not a regular file");
}

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

OutputFile::OutputFile(const QString &path) : m_path(path), m_file(path) { }

OutputFile::~OutputFile()
{
    if (m_file.isOpen())
        m_file.cancelWriting();
}

bool OutputFile::fail(const QString &text)
{
    m_error = text;
    if (m_file.isOpen()) {
        // A commit after a cancel removes the temporary file and keeps the target as it was.
        m_file.cancelWriting();
        (void)m_file.commit();
    }
    return false;
}

bool OutputFile::failWithErrno(int error)
{
    return fail(systemText(error));
}

bool OutputFile::open()
{
    if (m_file.isOpen())
        return true;
    m_error.clear();
    m_reserved = 0;
    m_existing.reset();

    // stat() follows symbolic links: a link to a regular file is written through, as the
    // temporary file replaces the link's target.
    struct stat st;
    if (::stat(QFile::encodeName(m_path).constData(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return fail(QStringLiteral("\"%1\" is %2, not a regular file; only regular files "
                                       "are written.")
                            .arg(QDir::toNativeSeparators(m_path), kindOf(st.st_mode)));
        m_existing = Attributes {uint(st.st_mode & 07777), uint(st.st_uid), uint(st.st_gid)};
    } else if (errno != ENOENT) {
        return failWithErrno(errno);
    }

    // Unbuffered, so that a failing write reports its own system error at once instead of a
    // later flush losing it.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(m_file.errorString());

    if (m_existing) {
        const int fd = m_file.handle();
        // Owner first: changing it may clear set-id bits, which the mode then puts back. Only a
        // privileged process may give the file away; for anyone else the owner is theirs anyway.
        if ((uint(::geteuid()) != m_existing->owner || uint(::getegid()) != m_existing->group)
            && ::fchown(fd, m_existing->owner, m_existing->group) != 0 && ::geteuid() == 0)
            return failWithErrno(errno);
        if (::fchmod(fd, mode_t(m_existing->mode)) != 0)
            return failWithErrno(errno);
    }
    return true;
}

bool OutputFile::reserve(qint64 size)
{
    if (!open())
        return false;
    if (size <= m_reserved)
        return true;
    const int error = ::posix_fallocate(m_file.handle(), 0, off_t(size));
    if (error != 0)
        return failWithErrno(error);
    m_reserved = size;
    return true;
}

bool OutputFile::commit(QByteArrayView data)
{
    if (!reserve(data.size()))
        return false;
    if (m_file.write(data.data(), data.size()) != data.size())
        return fail(m_file.errorString());
    const int fd = m_file.handle();
    if (m_reserved > data.size() && ::ftruncate(fd, off_t(data.size())) != 0)
        return failWithErrno(errno);
    // Some file systems report a lack of space or a write error only when the data reaches
    // the disk; it must be known before the target is replaced.
    if (::fsync(fd) != 0)
        return failWithErrno(errno);
    if (!m_file.commit()) {
        m_error = m_file.errorString();
        return false;
    }
    return true;
}
