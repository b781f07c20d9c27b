#include "support/CliProcess.h"
#include "support/H86Builder.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// brasvik-cli and the files it reads and writes: damaged images, outputs that are no regular
// files, permissions, a full disk, the settings file.
class tst_CliFiles : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void damagedImagesAreRefused_data();
    void damagedImagesAreRefused();
    void intelHexNamesAreReadAsH86_data();
    void intelHexNamesAreReadAsH86();
    void convertRefusesOutputsThatAreNoRegularFiles_data();
    void convertRefusesOutputsThatAreNoRegularFiles();
    void convertKeepsPermissions_data();
    void convertKeepsPermissions();
    void uploadChecksItsOutputBeforeTheTransfer_data();
    void uploadChecksItsOutputBeforeTheTransfer();
    void uploadFindsAFullDiskBeforeTheTransfer();
    void uploadThroughAPortPathWithAComma();
    void failedUploadLeavesNoTemporaryFile();
    void unreadableSettingsAreReported();

private:
    using Run = CliRun;
    using ChildSetup = std::function<void()>;
    Run cli(const QStringList &args, const ChildSetup &childSetup = {});
    QString path(const QString &name) const { return QDir(m_dir->path()).filePath(name); }
    QStringList entries() const
    {
        return QDir(m_dir->path())
            .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    // Makes `name` what `kind` says: empty, else why it failed (NoDeviceNodes: skip the case).
    QString makeNode(const QString &name, const QString &kind);

    TempSettings m_settings;
    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

const QString NoDeviceNodes = QStringLiteral("device nodes cannot be made here");

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

mode_t modeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

QStringList transferArgs(const QString &port)
{
    return {QStringLiteral("--port"), port, QStringLiteral("--h86-dir"), SimDevice::h86Directory(),
            QStringLiteral("--yes")};
}

} // namespace

void tst_CliFiles::initTestCase()
{
    QVERIFY(QFileInfo(cliPath()).isExecutable());
    QSettings ini(m_settings.iniFile(), QSettings::IniFormat);
    ini.setValue(QStringLiteral("UploadOpt6"), 1); // retain values: the shortest upload
}

void tst_CliFiles::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

tst_CliFiles::Run tst_CliFiles::cli(const QStringList &args, const ChildSetup &childSetup)
{
    CliRunOptions options;
    options.childSetup = childSetup;
    return runCli(args, options);
}

QString tst_CliFiles::makeNode(const QString &name, const QString &kind)
{
    const QByteArray native = QFile::encodeName(path(name));
    const QString failed = QStringLiteral("cannot make the output node");
    if (kind == QLatin1String("fifo"))
        return ::mkfifo(native.constData(), 0644) == 0 ? QString() : failed;
    if (kind == QLatin1String("folder"))
        return QDir().mkdir(path(name)) ? QString() : failed;
    if (kind == QLatin1String("link to a fifo")) {
        const bool made
            = ::mkfifo(QFile::encodeName(path(QStringLiteral("pipe"))).constData(), 0644) == 0
            && QFile::link(path(QStringLiteral("pipe")), path(name));
        return made ? QString() : failed;
    }
    // A null device of our own: if the refusal ever failed, only this node would be replaced.
    return ::mknod(native.constData(), S_IFCHR | 0666, makedev(1, 3)) == 0 ? QString()
                                                                           : NoDeviceNodes;
}

void tst_CliFiles::damagedImagesAreRefused_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("message");

    const QByteArray good = H86Builder().data(0, "\x01\x02").text();
    QTest::newRow("download a text file")
        << "download" << QByteArray("hello world\r\n") << "Line 1, column 1 of the file";
    QTest::newRow("download an empty file") << "download" << QByteArray() << "holds no data";
    QTest::newRow("download an end record only")
        << "download" << QByteArray(":00000001FF\r\n") << "holds no data";
    QTest::newRow("download a bad checksum") << "download" << good + ":0400100001020304E3\r\n"
                                             << "Line 2 of the file";
    QTest::newRow("info on a bad checksum") << "info" << good + ":0400100001020304E3\r\n"
                                            << "checksum is wrong";
    QTest::newRow("convert a text file")
        << "convert" << QByteArray("hello world\r\n") << "does not begin with ':'";
    // An upper address beyond the flash, which only its last digit would have fitted.
    QTest::newRow("info on upper address 0010")
        << "info" << good + ":020000040010EA\r\n" + good
        << "Line 2 of the file \"%1\" sets the upper address 00100000h, beyond the 1 MiB flash "
           "of the VMC 46xx.";
    QTest::newRow("convert upper address 0800")
        << "convert"
        << ":020000040800F2\r\n" + good << "sets the upper address 08000000h";
    QTest::newRow("download upper address 6000")
        << "download" << good + ":0200000460009A\r\n" + good << "sets the upper address 60000000h";
}

void tst_CliFiles::damagedImagesAreRefused()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, text);
    QFETCH(QString, message);
    const QString image = writeTestFile(*m_dir, QStringLiteral("t.h86"), text);
    QStringList args {command, image, QStringLiteral("--device"), QStringLiteral("46xx")};
    if (command == QLatin1String("convert"))
        args.insert(2, path(QStringLiteral("out.b86")));
    else if (command == QLatin1String("download"))
        args += transferArgs(QStringLiteral("/nonexistent/tty"));

    const Run r = cli(args);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(message.replace(QStringLiteral("%1"), image)), qPrintable(r.err));
    QVERIFY2(r.err.contains(image), qPrintable(r.err));
    // Refused before any port was opened: nothing about the port, nothing on stdout.
    QVERIFY2(!r.err.contains(QLatin1String("COM")), qPrintable(r.err));
    QVERIFY(r.out.isEmpty());
    QCOMPARE(entries(), QStringList {QStringLiteral("t.h86")});
}

// The names other toolchains give Intel HEX files are read as H86 by every command that
// loads an image (compare gets as far as the port).
void tst_CliFiles::intelHexNamesAreReadAsH86_data()
{
    QTest::addColumn<QStringList>("args"); // @image: the image, @out: an output in the folder
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // in stdout or stderr
    const QStringList device {"--device", "46xx"};
    QTest::newRow("info x.hex") << QStringList {"info", "@image.hex"} + device << 0
                                << "Binary image: no";
    QTest::newRow("convert x.ihx")
        << QStringList {"convert", "@image.ihx", "@out.b86"} + device << 0 << "Wrote";
    QTest::newRow("compare x.HEX") << QStringList {"compare", "@image.HEX"} + device
            + transferArgs(QStringLiteral("/nonexistent/tty"))
                                   << 3 << "Open COM error";
    QTest::newRow("x.ihx needs the device type")
        << QStringList {"info", "@image.ihx"} << 1 << "--device is required for an H86 image";
}

void tst_CliFiles::intelHexNamesAreReadAsH86()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const QString image = args.at(1).mid(1);
    QVERIFY(!writeTestFile(*m_dir, image, H86Builder().data(0, "\x01\x02").end().text()).isEmpty());
    args.replaceInStrings(QStringLiteral("@"), m_dir->path() + u'/');
    const Run r = cli(args);
    QVERIFY2(r.exitCode == exitCode, qPrintable(r.err));
    QVERIFY2((r.out + r.err).contains(message), qPrintable(r.out + r.err));
    QVERIFY(!r.err.contains(QLatin1String("Invalid file type")));
}

void tst_CliFiles::convertRefusesOutputsThatAreNoRegularFiles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    QTest::newRow("fifo") << "fifo"
                          << "is a named pipe, not a regular file";
    QTest::newRow("link to a fifo") << "link to a fifo"
                                    << "is a named pipe, not a regular file";
    QTest::newRow("device") << "device"
                            << "is a device, not a regular file";
    QTest::newRow("folder") << "folder"
                            << "is a folder, not a regular file";
}

void tst_CliFiles::convertRefusesOutputsThatAreNoRegularFiles()
{
    QFETCH(QString, kind);
    QFETCH(QString, message);
    const QString image
        = writeTestFile(*m_dir, QStringLiteral("retain.b86"), QByteArray(4096, 'r'));
    const QString output = path(QStringLiteral("out.b86"));
    const QString trouble = makeNode(QStringLiteral("out.b86"), kind);
    if (trouble == NoDeviceNodes)
        QSKIP(qPrintable(trouble));
    QVERIFY2(trouble.isEmpty(), qPrintable(trouble));
    const mode_t before = modeOf(output);
    const QStringList entriesBefore = entries();

    const Run r = cli({QStringLiteral("convert"), image, output});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY2(r.err.contains(output), qPrintable(r.err));
    QCOMPARE(modeOf(output), before);
    QCOMPARE(entries(), entriesBefore);
}

void tst_CliFiles::convertKeepsPermissions_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("0640") << 0640;
    QTest::newRow("read-only 0444") << 0444;
}

void tst_CliFiles::convertKeepsPermissions()
{
    QFETCH(int, mode);
    const QByteArray retain(4096, 'r');
    const QString image = writeTestFile(*m_dir, QStringLiteral("retain.b86"), retain);
    const QString output = writeTestFile(*m_dir, QStringLiteral("out.b86"), "previous");
    QCOMPARE(::chmod(QFile::encodeName(output).constData(), mode_t(mode)), 0);

    const Run r = cli({QStringLiteral("convert"), image, output});
    if (!(mode & 0200) && ::geteuid() != 0) {
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(contents(output), QByteArray("previous"));
    } else {
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QCOMPARE(contents(output), retain);
    }
    QCOMPARE(int(modeOf(output) & 07777), mode);
}

void tst_CliFiles::uploadChecksItsOutputBeforeTheTransfer_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    QTest::newRow("fifo") << "fifo"
                          << "is a named pipe, not a regular file";
    QTest::newRow("device") << "device"
                            << "is a device, not a regular file";
    QTest::newRow("missing folder") << "missing"
                                    << "No such file or directory";
}

void tst_CliFiles::uploadChecksItsOutputBeforeTheTransfer()
{
    QFETCH(QString, kind);
    QFETCH(QString, message);
    QString output = path(QStringLiteral("out.b86"));
    if (kind == QLatin1String("missing")) {
        output = path(QStringLiteral("no/such/folder/out.b86"));
    } else {
        const QString trouble = makeNode(QStringLiteral("out.b86"), kind);
        if (trouble == NoDeviceNodes)
            QSKIP(qPrintable(trouble));
        QVERIFY2(trouble.isEmpty(), qPrintable(trouble));
    }
    const mode_t before = modeOf(output);

    SimDevice sim;
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const Run r = cli(QStringList {"upload", "retain", output, "--device", "46xx"}
                      + transferArgs(sim.serialPath()));
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY(r.out.isEmpty());
    sim.stop();
    QCOMPARE(sim.hostBytes(), QByteArray()); // not even the boot byte went out
    QCOMPARE(modeOf(output), before);
}

// A full disk (here: a file-size limit, which fails the same calls) is found when the output's
// space is claimed, before the device is asked for anything.
void tst_CliFiles::uploadFindsAFullDiskBeforeTheTransfer()
{
    const QString output = path(QStringLiteral("retain.b86"));
    SimDevice sim;
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const Run r = cli(QStringList {"upload", "retain", output, "--device", "46xx"}
                          + transferArgs(sim.serialPath()),
                      [] {
                          std::signal(SIGXFSZ, SIG_IGN);
                          rlimit limit {1024, 1024};
                          ::setrlimit(RLIMIT_FSIZE, &limit);
                      });
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(QString::fromLocal8Bit(std::strerror(EFBIG))), qPrintable(r.err));
    QVERIFY(!r.err.contains(QLatin1String("Unknown error")));
    sim.stop();
    QCOMPARE(sim.hostBytes(), QByteArray());
    QVERIFY(entries().isEmpty());
}

// COM1's path holds a comma: it is taken literally, not as a list that falls back to
// /dev/ttyS0. The existing output keeps its permissions and nothing is left beside it.
void tst_CliFiles::uploadThroughAPortPathWithAComma()
{
    SimDeviceOptions options;
    options.initialMemory = QByteArray(0x100000, char(0xFF)) + QByteArray(4096, char(0x3C));
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const QString port = path(QStringLiteral("tty,sim"));
    QVERIFY(QFile::link(sim.serialPath(), port));
    const auto writeIni = [this](const QByteArray &body) {
        QFile ini(m_settings.iniFile());
        return ini.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && ini.write("[General]\nUploadOpt6=1\n" + body) > 0;
    };
    QVERIFY(writeIni("[Ports]\nCOM1=" + QFile::encodeName(port) + "\n"));

    const QString output = writeTestFile(*m_dir, QStringLiteral("retain.b86"), "previous");
    QCOMPARE(::chmod(QFile::encodeName(output).constData(), 0640), 0);
    const Run r = cli({"upload", "retain", output, "--device", "46xx", "--port", "COM1",
                       "--h86-dir", SimDevice::h86Directory(), "--yes"});
    QVERIFY(writeIni({}));
    QVERIFY2(r.exitCode == 0, qPrintable(r.err + r.out));
    QCOMPARE(contents(output), QByteArray(4096, char(0x3C)));
    QCOMPARE(int(modeOf(output) & 07777), 0640);
    QCOMPARE(entries(), QStringList({QStringLiteral("retain.b86"), QStringLiteral("tty,sim")}));
}

void tst_CliFiles::failedUploadLeavesNoTemporaryFile()
{
    SimDeviceOptions options;
    options.extraArguments = {QStringLiteral("--silent-from"), QStringLiteral("program")};
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const QString output = writeTestFile(*m_dir, QStringLiteral("kept.b86"), "previous");
    const Run r = cli(QStringList {"upload", "retain", output, "--device", "46xx"}
                      + transferArgs(sim.serialPath()));
    QCOMPARE(r.exitCode, 2);
    QCOMPARE(contents(output), QByteArray("previous"));
    QCOMPARE(entries(), QStringList {QStringLiteral("kept.b86")});
}

void tst_CliFiles::unreadableSettingsAreReported()
{
    TempSettings broken;
    // A folder where the settings file belongs: even a privileged process cannot read it.
    QVERIFY(QDir().mkpath(broken.iniFile()));
    const QString image
        = writeTestFile(*m_dir, QStringLiteral("retain.b86"), QByteArray(4096, 'r'));
    const Run r = cli({QStringLiteral("info"), image});
    QCOMPARE(r.exitCode, 0);
    const QStringList errLines = r.err.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(errLines.size(), 1);
    QVERIFY2(errLines.first().contains(broken.iniFile()), qPrintable(r.err));
    QVERIFY2(errLines.first().contains(QLatin1String("cannot be read")), qPrintable(r.err));
    QVERIFY(r.out.contains(QLatin1String("Retain values")));
}

QTEST_GUILESS_MAIN(tst_CliFiles)
#include "tst_clifiles.moc"
