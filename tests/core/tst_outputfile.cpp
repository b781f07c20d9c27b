#include "core/OutputFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

mode_t modeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

// Limits the size of files this process may write, as a full disk would, for one scope.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        m_handler = std::signal(SIGXFSZ, SIG_IGN); // the write fails instead
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_handler);
    }

private:
    rlimit m_saved {};
    void (*m_handler)(int) = nullptr;
};

} // namespace

class tst_OutputFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void writesANewFile();
    void refusesWhatIsNoRegularFile_data();
    void refusesWhatIsNoRegularFile();
    void writesThroughALinkToARegularFile();
    void keepsPermissions_data();
    void keepsPermissions();
    void failedWriteCarriesTheSystemText();
    void fullDiskShowsAtReserve();
    void reservedSpaceIsGivenBack();
    void uncommittedFileLeavesNothing();
    void missingFolder();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    QStringList entries() const
    {
        return QDir(m_dir->path())
            .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_OutputFile::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_OutputFile::writesANewFile()
{
    const mode_t mask = ::umask(022);
    OutputFile out(path(QStringLiteral("new.b86")));
    const bool written = out.commit("abc");
    ::umask(mask);
    QVERIFY2(written, qPrintable(out.errorString()));
    QCOMPARE(contents(out.path()), QByteArray("abc"));
    QCOMPARE(modeOf(out.path()) & 0777, mode_t(0644));
    QCOMPARE(entries(), QStringList {QStringLiteral("new.b86")});
}

void tst_OutputFile::refusesWhatIsNoRegularFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    QTest::newRow("fifo") << "fifo"
                          << "a named pipe";
    QTest::newRow("link to a fifo") << "link"
                                    << "a named pipe";
    QTest::newRow("folder") << "folder"
                            << "a folder";
    QTest::newRow("socket") << "socket"
                            << "a socket";
    QTest::newRow("device") << "device"
                            << "a device";
}

void tst_OutputFile::refusesWhatIsNoRegularFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, text);
    const QString target = path(QStringLiteral("target.b86"));
    const QByteArray native = QFile::encodeName(target);
    int socketFd = -1;
    if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(native.constData(), 0644), 0);
    } else if (kind == QLatin1String("link")) {
        QCOMPARE(::mkfifo(QFile::encodeName(path(QStringLiteral("pipe"))).constData(), 0644), 0);
        QVERIFY(QFile::link(path(QStringLiteral("pipe")), target));
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkdir(target));
    } else if (kind == QLatin1String("socket")) {
        socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, native.constData(), sizeof(address.sun_path) - 1);
        QCOMPARE(::bind(socketFd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    } else if (::mknod(native.constData(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        QSKIP("device nodes cannot be made here");
    }
    const mode_t before = modeOf(target);

    OutputFile out(target);
    QVERIFY(!out.open());
    QVERIFY2(out.errorString().contains(text), qPrintable(out.errorString()));
    QVERIFY(out.errorString().contains(target));
    QVERIFY(!out.commit("data"));
    // The node is still what it was, and nothing was left beside it.
    QCOMPARE(modeOf(target), before);
    QVERIFY(!entries().join(u' ').contains(QLatin1Char('.') + QStringLiteral("b86.")));
    if (socketFd >= 0)
        ::close(socketFd);
}

void tst_OutputFile::writesThroughALinkToARegularFile()
{
    const QString real = path(QStringLiteral("real.b86"));
    QFile f(real);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("old");
    f.close();
    const QString link = path(QStringLiteral("link.b86"));
    QVERIFY(QFile::link(real, link));

    OutputFile out(link);
    QVERIFY2(out.commit("new"), qPrintable(out.errorString()));
    QCOMPARE(QFileInfo(link).symLinkTarget(), real);
    QCOMPARE(contents(real), QByteArray("new"));
}

void tst_OutputFile::keepsPermissions_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("0600") << 0600;
    QTest::newRow("0640") << 0640;
    QTest::newRow("0664") << 0664;
    QTest::newRow("read-only 0444") << 0444;
}

void tst_OutputFile::keepsPermissions()
{
    QFETCH(int, mode);
    const QString target = path(QStringLiteral("kept.b86"));
    QFile f(target);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("old");
    f.close();
    QCOMPARE(::chmod(QFile::encodeName(target).constData(), mode_t(mode)), 0);

    OutputFile out(target);
    const bool written = out.commit("new");
    if (!(mode & 0200) && ::geteuid() != 0) {
        // Only a privileged process may replace a read-only file; anyone else is refused.
        QVERIFY(!written);
        QCOMPARE(contents(target), QByteArray("old"));
    } else {
        QVERIFY2(written, qPrintable(out.errorString()));
        QCOMPARE(contents(target), QByteArray("new"));
    }
    QCOMPARE(int(modeOf(target) & 07777), mode);
}

void tst_OutputFile::failedWriteCarriesTheSystemText()
{
    const QString target = path(QStringLiteral("full.b86"));
    QFile f(target);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("previous");
    f.close();

    OutputFile out(target);
    QVERIFY(out.open());
    {
        const FileSizeLimit limit(4096);
        // The space is claimed inside commit() as well; either step may hit the limit.
        QVERIFY(!out.commit(QByteArray(64 * 1024, 'x')));
    }
    QCOMPARE(out.errorString(), QString::fromLocal8Bit(std::strerror(EFBIG)));
    QCOMPARE(contents(target), QByteArray("previous"));
    QCOMPARE(entries(), QStringList {QStringLiteral("full.b86")});
}

void tst_OutputFile::fullDiskShowsAtReserve()
{
    OutputFile out(path(QStringLiteral("upload.b86")));
    QVERIFY(out.open());
    {
        const FileSizeLimit limit(4096);
        QVERIFY(!out.reserve(0x100008));
    }
    QCOMPARE(out.errorString(), QString::fromLocal8Bit(std::strerror(EFBIG)));
    QVERIFY(entries().isEmpty());
}

void tst_OutputFile::reservedSpaceIsGivenBack()
{
    OutputFile out(path(QStringLiteral("short.b86")));
    QVERIFY(out.reserve(0x100008));
    QVERIFY2(out.commit("four"), qPrintable(out.errorString()));
    QCOMPARE(contents(out.path()), QByteArray("four"));
}

void tst_OutputFile::uncommittedFileLeavesNothing()
{
    const QString target = path(QStringLiteral("kept.b86"));
    QFile f(target);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("old");
    f.close();
    {
        OutputFile out(target);
        QVERIFY(out.open());
        QVERIFY(out.reserve(1000));
        QCOMPARE(contents(target), QByteArray("old"));
    }
    QCOMPARE(entries(), QStringList {QStringLiteral("kept.b86")});
    QCOMPARE(contents(target), QByteArray("old"));
}

void tst_OutputFile::missingFolder()
{
    OutputFile out(path(QStringLiteral("no/such/folder/x.b86")));
    QVERIFY(!out.open());
    QVERIFY2(!out.errorString().isEmpty(), "no reason given");
    QVERIFY(!out.errorString().contains(QStringLiteral("Unknown error")));
}

QTEST_GUILESS_MAIN(tst_OutputFile)
#include "tst_outputfile.moc"
