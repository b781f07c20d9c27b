#include "support/H86Builder.h"
#include "transfer/TargetDiagnosis.h"
#include "transfer/TargetFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Verdict = DiagnosisCheck::Verdict;
Q_DECLARE_METATYPE(DiagnosisCheck::Verdict)

// The target-program check: the search order of the folders, the files each device type and
// interface need (present, readable, readable as Intel HEX), and the simulated device's
// stand-ins, all in temporary folders.
class tst_TargetDiagnosis : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void readH86_data();
    void readH86();
    void chooseDirectory_data();
    void chooseDirectory();
    void searchPath();
    void files_data();
    void files();
    void noFolderAtAll();
    void laterFolderHasTheFile();
    void unreadableFile();
    void hints();

private:
    QString folder(const QString &name) const { return QDir(m_dir->path()).filePath(name); }
    void put(const QString &dir, const QStringList &names, const QByteArray &content);
    TargetDiagnosis::Environment environment(const QStringList &folders) const;

    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

QByteArray program(const QByteArray &data = QByteArray(64, '\x5A'))
{
    return H86Builder().data(0, data, 16).end().text();
}

QByteArray standIn()
{
    return program(QByteArray("BKSI\x01\x01\x01\x01", 8) + QByteArray(80, '\x11'));
}

QStringList rs232Files()
{
    return {"DLoader.H86", "Download.H86", "DLoaderNV.H86", "DownloadNV.H86",
            "ULoader.H86", "Upload.H86",   "ULoaderNV.H86", "UploadNV.H86"};
}

QStringList boardFiles()
{
    return {"DLoaderIF.H86", "DownloadIF.H86", "DLoaderNVIF.H86", "DownloadNVIF.H86",
            "ULoaderIF.H86", "UploadIF.H86",   "ULoaderNVIF.H86", "UploadNVIF.H86"};
}

QStringList can1At250Files()
{
    return {"DLoaderCAN.H86",          "DownloadCAN1_250K.H86", "DLoaderNVCAN.H86",
            "DownloadNVCAN1_250K.H86", "ULoaderCAN.H86",        "UploadCAN1_250K.H86",
            "ULoaderNVCAN.H86",        "UploadNVCAN1_250K.H86"};
}

// The check with `id` whose text holds `fragment`, else the first with `id`.
const DiagnosisCheck *find(const DiagnosisChecks &checks, const QString &id,
                           const QString &fragment = {})
{
    const DiagnosisCheck *first = nullptr;
    for (const DiagnosisCheck &c : checks) {
        if (c.id != id)
            continue;
        if (c.text.contains(fragment))
            return &c;
        if (!first)
            first = &c;
    }
    return first;
}

} // namespace

void tst_TargetDiagnosis::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_TargetDiagnosis::cleanup()
{
    TargetFiles::setDirectory(QString());
    qunsetenv("XDG_DATA_HOME");
}

void tst_TargetDiagnosis::put(const QString &dir, const QStringList &names,
                              const QByteArray &content)
{
    QVERIFY(QDir().mkpath(dir));
    for (const QString &name : names) {
        QFile f(QDir(dir).filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
}

TargetDiagnosis::Environment tst_TargetDiagnosis::environment(const QStringList &folders) const
{
    TargetDiagnosis::Environment env;
    env.searchPath = folders;
    env.canRead = [](const QString &) {
        return true;
    };
    return env;
}

void tst_TargetDiagnosis::readH86_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("problem"); // fragment; empty: readable
    QTest::addColumn<bool>("standIn");
    QTest::newRow("program") << program() << "" << false;
    QTest::newRow("LF endings and blank lines")
        << H86Builder().data(0, QByteArray(20, 'x')).end().text("\n") + "\n\n"
        << "" << false;
    QTest::newRow("stand-in") << standIn() << "" << true;
    QTest::newRow("magic of another version")
        << program(QByteArray("BKSI\x02", 5) + QByteArray(40, '\0')) << "" << false;
    QTest::newRow("empty") << QByteArray() << "the file is empty" << false;
    QTest::newRow("binary") << QByteArray("\x7F"
                                          "ELF\x02\x01\x01\0\0\0",
                                          10)
                            << "line 1 holds control characters" << false;
    QTest::newRow("no start code")
        << QByteArray(":00000001FF\r\n10000000") << "line 2 does not " << false;
    QTest::newRow("odd digits") << QByteArray(":0100000041BE0\r\n") << "line 1 is not a record"
                                << false;
    QTest::newRow("not hex") << QByteArray(":01000000G1BE\r\n") << "line 1 is not a record"
                             << false;
    QTest::newRow("count mismatch") << QByteArray(":0200000041BD\r\n:00000001FF\r\n")
                                    << "line 1 announces 2 data bytes but holds 1" << false;
    QTest::newRow("checksum") << QByteArray(":0100000041BF\r\n:00000001FF\r\n")
                              << "line 1 has a wrong checksum" << false;
    QTest::newRow("end record only") << QByteArray(":00000001FF\r\n") << "no data record" << false;
}

void tst_TargetDiagnosis::readH86()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, problem);
    QFETCH(bool, standIn);
    const TargetDiagnosis::H86Content result = TargetDiagnosis::readH86(content);
    QCOMPARE(result.problem.isEmpty(), problem.isEmpty());
    QVERIFY2(result.problem.contains(problem), qPrintable(result.problem));
    QCOMPARE(result.standIn, standIn);
}

void tst_TargetDiagnosis::chooseDirectory_data()
{
    QTest::addColumn<QStringList>("folders"); // "name:kind", kind = missing, empty, files, lower
    QTest::addColumn<QString>("chosen");
    QTest::newRow("first with files") << QStringList {"a:missing", "b:empty", "c:files"} << "c";
    QTest::newRow("earlier wins") << QStringList {"a:files", "b:files"} << "a";
    QTest::newRow("lower-case names count") << QStringList {"a:empty", "b:lower"} << "b";
    QTest::newRow("no files: first that exists") << QStringList {"a:missing", "b:empty"} << "b";
    QTest::newRow("nothing there: the first") << QStringList {"a:missing", "b:missing"} << "a";
}

void tst_TargetDiagnosis::chooseDirectory()
{
    QFETCH(QStringList, folders);
    QFETCH(QString, chosen);
    QStringList paths;
    for (const QString &entry : folders) {
        const QString name = entry.section(u':', 0, 0);
        const QString kind = entry.section(u':', 1);
        paths.append(folder(name));
        if (kind == QLatin1String("empty"))
            QVERIFY(QDir().mkpath(folder(name)));
        else if (kind == QLatin1String("files"))
            put(folder(name), {QStringLiteral("Download.H86")}, program());
        else if (kind == QLatin1String("lower"))
            put(folder(name), {QStringLiteral("download.h86")}, program());
    }
    QCOMPARE(TargetFiles::chooseDirectory(paths), folder(chosen));
}

void tst_TargetDiagnosis::searchPath()
{
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir->path()));
    QStringList path = TargetFiles::searchPath();
    QCOMPARE(path.size(), 3);
    QVERIFY(path.at(0).endsWith(QStringLiteral("/H86")));
    QCOMPARE(path.at(1), folder(QStringLiteral("Halvero/BrasvikV6/H86")));
    QCOMPARE(path.at(2), TargetFiles::systemDirectory());
    QVERIFY(!TargetFiles::directoryOverridden());

    // Files in the user's folder are found while nothing lies beside the executable.
    put(path.at(1), {QStringLiteral("DLoader.H86")}, program());
    if (!QFileInfo(path.at(0)).isDir())
        QCOMPARE(TargetFiles::directory(), path.at(1));

    qputenv("XDG_DATA_HOME", "relative/dir");
    QCOMPARE(TargetFiles::userDirectory(),
             QDir::home().filePath(QStringLiteral(".local/share/Halvero/BrasvikV6/H86")));

    TargetFiles::setDirectory(folder(QStringLiteral("mine")));
    QCOMPARE(TargetFiles::searchPath(), QStringList {folder(QStringLiteral("mine"))});
    QVERIFY(TargetFiles::directoryOverridden());
    QCOMPARE(TargetFiles::directory(), folder(QStringLiteral("mine")));
}

void tst_TargetDiagnosis::files_data()
{
    QTest::addColumn<QList<DeviceKind>>("types");
    QTest::addColumn<bool>("deviceGiven");
    QTest::addColumn<int>("comInterface");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("id");
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<QString>("text");
    const QList<DeviceKind> rs232 {DeviceKind::Device46xx};
    const QList<DeviceKind> both {DeviceKind::Device46xx, DeviceKind::Board4610};
    QTest::newRow("all there") << rs232 << true << 0 << rs232Files() << program() << "target.files"
                               << Verdict::Ok
                               << "for the 46xx devices over RS-232: all 8 present and readable";
    QTest::newRow("case differs") << rs232 << true << 0
                                  << QStringList {"dloader.h86",    "DOWNLOAD.H86", "DLoaderNV.H86",
                                                  "DownloadNV.H86", "ULoader.H86",  "Upload.H86",
                                                  "ULoaderNV.H86",  "UploadNV.H86"}
                                  << program() << "target.files" << Verdict::Ok << "all 8 present";
    // A missing file is named with the folders searched for it (%DIR% is the one used).
    QTest::newRow("one missing")
        << rs232 << true << 0 << rs232Files().mid(1) << program() << "target.files" << Verdict::Fail
        << "Target programs for the 46xx devices over RS-232: 1 of 8 missing in %DIR%: "
           "DLoader.H86 (folders searched: 1) %MISSING% (missing), 2) %DIR% (used))";
    QTest::newRow("CAN files for CAN1 at 250 kbit/s")
        << rs232 << true << 1 << can1At250Files() << program() << "target.files" << Verdict::Ok
        << "over CAN1 at 250 kbit/s: all 8";
    QTest::newRow("RS-232 files do not serve CAN")
        << rs232 << true << 1 << rs232Files() << program() << "target.files" << Verdict::Fail
        << "over CAN1 at 250 kbit/s: 8 of 8 missing in %DIR%: " + can1At250Files().join(", ")
            + " (";
    QTest::newRow("board without files, type not named")
        << both << false << 0 << rs232Files() << program() << "target.files" << Verdict::Warn
        << "the VMC 4610 board: 8 of 8 missing in %DIR%: " + boardFiles().join(", ");
    QTest::newRow("board without files, type named")
        << QList<DeviceKind> {DeviceKind::Board4610} << true << 0 << rs232Files() << program()
        << "target.files" << Verdict::Fail
        << "the VMC 4610 board: 8 of 8 missing in %DIR%: " + boardFiles().join(", ");
    QTest::newRow("no files for any type")
        << both << false << 0 << QStringList {"other.h86"} << program() << "target.files"
        << Verdict::Fail << "RS-232: 8 of 8 missing in %DIR%: " + rs232Files().join(", ");
    QTest::newRow("damaged file") << rs232 << true << 0 << rs232Files()
                                  << QByteArray(":0100000041BF\r\n") << "target.file"
                                  << Verdict::Fail
                                  << "is not a readable H86 file: line 1 has a "
                                     "wrong checksum";
    QTest::newRow("stand-ins") << QList<DeviceKind> {DeviceKind::Board4610} << true << 0
                               << boardFiles() << standIn() << "target.stand-in" << Verdict::Warn
                               << "8 of them are stand-ins of the simulated device";
}

void tst_TargetDiagnosis::files()
{
    QFETCH(QList<DeviceKind>, types);
    QFETCH(bool, deviceGiven);
    QFETCH(int, comInterface);
    QFETCH(QStringList, present);
    QFETCH(QByteArray, content);
    QFETCH(QString, id);
    QFETCH(Verdict, verdict);
    QFETCH(QString, text);
    const QString dir = folder(QStringLiteral("H86"));
    text.replace(QStringLiteral("%DIR%"), dir)
        .replace(QStringLiteral("%MISSING%"), folder(QStringLiteral("missing")));
    put(dir, present, content);
    TargetDiagnosis::Selection selection;
    selection.deviceTypes = types;
    selection.deviceGiven = deviceGiven;
    selection.comInterface = comInterface;
    selection.canBaudrate = 6;
    const DiagnosisChecks checks
        = TargetDiagnosis::run(selection, environment({folder(QStringLiteral("missing")), dir}));
    QCOMPARE(checks.first().id, QStringLiteral("target.folders"));
    QCOMPARE(checks.first().verdict, Verdict::Ok);
    QVERIFY2(checks.first().text.contains(QStringLiteral("1) %1 (missing), 2) %2 (used)")
                                              .arg(folder(QStringLiteral("missing")), dir)),
             qPrintable(checks.first().text));
    const DiagnosisCheck *c = find(checks, id, text);
    QVERIFY2(c, qPrintable(id));
    QCOMPARE(c->verdict, verdict);
    QVERIFY2(c->text.contains(text), qPrintable(c->text));
    QCOMPARE(c->hint.isEmpty(), verdict == Verdict::Ok);
    if (verdict == Verdict::Ok)
        QCOMPARE(checks.size(), 1 + types.size());
}

void tst_TargetDiagnosis::noFolderAtAll()
{
    TargetDiagnosis::Selection selection;
    selection.deviceTypes = {DeviceKind::Device46xx};
    DiagnosisChecks checks
        = TargetDiagnosis::run(selection, environment({folder("a"), folder("b")}));
    QCOMPARE(checks.size(), 1);
    QCOMPARE(checks.first().verdict, Verdict::Fail);
    QVERIFY(checks.first().text.contains(
        QStringLiteral("1) %1 (missing), 2) %2 (missing)").arg(folder("a"), folder("b"))));
    QVERIFY(checks.first().hint.contains(TargetFiles::systemDirectory()));

    TargetDiagnosis::Environment named = environment({folder("given")});
    named.overridden = true;
    checks = TargetDiagnosis::run(selection, named);
    QCOMPARE(checks.first().verdict, Verdict::Fail);
    QCOMPARE(checks.first().text,
             QStringLiteral("Target programs: the folder %1 (--h86-dir) does not exist")
                 .arg(folder("given")));
    QCOMPARE(
        checks.first().hint,
        QStringLiteral("Copy the device maker's target programs into %1.").arg(folder("given")));
}

void tst_TargetDiagnosis::laterFolderHasTheFile()
{
    // A partial set in the first folder shadows a complete one further down.
    put(folder("first"), rs232Files().mid(2), program());
    put(folder("second"), rs232Files(), program());
    TargetDiagnosis::Selection selection;
    selection.deviceTypes = {DeviceKind::Device46xx};
    selection.deviceGiven = true;
    const DiagnosisChecks checks
        = TargetDiagnosis::run(selection, environment({folder("first"), folder("second")}));
    const DiagnosisCheck *c = find(checks, QStringLiteral("target.files"));
    QVERIFY(c);
    QCOMPARE(c->verdict, Verdict::Fail);
    QCOMPARE(c->hint,
             QStringLiteral("DLoader.H86 is in %1, but %2 comes first and both files of a "
                            "transfer come from one folder: complete %2 or move it away.")
                 .arg(folder("second"), folder("first")));
}

void tst_TargetDiagnosis::unreadableFile()
{
    put(folder("H86"), rs232Files(), program());
    const QString locked = QDir(folder("H86")).filePath(QStringLiteral("Upload.H86"));
    TargetDiagnosis::Environment env = environment({folder("H86")});
    env.canRead = [locked](const QString &path) {
        return path != locked;
    };
    TargetDiagnosis::Selection selection;
    selection.deviceTypes = {DeviceKind::Device46xx};
    const DiagnosisChecks checks = TargetDiagnosis::run(selection, env);
    const DiagnosisCheck *c = find(checks, QStringLiteral("target.file"));
    QVERIFY(c);
    QCOMPARE(c->verdict, Verdict::Fail);
    QCOMPARE(c->text, QStringLiteral("Target program %1 cannot be read").arg(locked));
    QCOMPARE(c->hint, QStringLiteral("Let every user read it: sudo chmod a+r %1").arg(locked));
    QVERIFY(!find(checks, QStringLiteral("target.files")));
}

void tst_TargetDiagnosis::hints()
{
    TargetFiles::setDirectory(folder("given"));
    QCOMPARE(TargetDiagnosis::hintForFolder(folder("given")),
             QStringLiteral("The folder %1 does not exist. Copy the device maker's target "
                            "programs into %1.")
                 .arg(folder("given")));
    put(folder("given"), {QStringLiteral("Upload.H86")}, QByteArray("garbage\n"));
    QCOMPARE(
        TargetDiagnosis::hintForFolder(folder("given")),
        QStringLiteral("Copy the device maker's target programs into %1.").arg(folder("given")));
    const QString damaged = QDir(folder("given")).filePath(QStringLiteral("Upload.H86"));
    QVERIFY(TargetDiagnosis::hintForFile(damaged, TargetFiles::searchPath()).startsWith(
        QStringLiteral("Upload.H86 is not a readable H86 file (line 1 does not start")));
    QCOMPARE(TargetDiagnosis::hintForFile(QDir(folder("given")).filePath("DLoader.H86"),
                                          TargetFiles::searchPath()),
             TargetDiagnosis::hintForFolder(folder("given")));

    // Without --h86-dir the hint names the user's and the system's folder.
    TargetFiles::setDirectory(QString());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir->path()));
    const QString hint = TargetDiagnosis::hintForFolder(folder("elsewhere"));
    QVERIFY2(hint.contains(folder("Halvero/BrasvikV6/H86"))
                 && hint.contains(TargetFiles::systemDirectory())
                 && hint.contains(QStringLiteral("--h86-dir")),
             qPrintable(hint));
}

QTEST_GUILESS_MAIN(tst_TargetDiagnosis)
#include "tst_targetdiagnosis.moc"
