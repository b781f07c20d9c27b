#include "core/SectorMap.h"
#include "support/CliProcess.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"
#include "transfer/ServiceRecord.h"
#include "transfer/ServiceRecordReader.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

// brasvik-cli on a production line, against the simulated device: a download verified by
// reading it back, tried again where it stopped, skipped where the unit already holds the
// image, and the station loop over several ports with the units' IDs in the record.
class tst_CliProduction : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void downloadOnTheLine_data();
    void downloadOnTheLine();
    void skipUnchanged_data();
    void skipUnchanged();
    void stationOfThreeUnitsOnTwoPorts_data();
    void stationOfThreeUnitsOnTwoPorts();

private:
    // The records of the run, oldest first.
    static QList<TransferRecord> records();
    QStringList download(const QString &port, const QStringList &options) const;

    TempSettings m_settings;
    QTemporaryDir m_dir;
    QString m_imagePath;
    QByteArray m_flash; // what the image puts into the device's flash
};

namespace {

constexpr int ChunkBytes = 0x800; // at the start of each of the image's sectors
constexpr int Sectors = 8;
constexpr int BlocksPerChunk = ChunkBytes / 32;

QByteArray withNvRam(const QByteArray &flash)
{
    return flash + QByteArray(4096, '\0');
}

} // namespace

void tst_CliProduction::initTestCase()
{
    QVERIFY(QFileInfo(cliPath()).isExecutable());
    const SectorImage image = sectorImage(
        Sectors, ChunkBytes, [](int s, int i) { return char((i * 13 + s * 7 + 1) % 0xF7); });
    m_flash = image.flash;
    m_imagePath = writeTestFile(m_dir, QStringLiteral("os.h86"), image.text);
    QVERIFY(!m_imagePath.isEmpty());
}

void tst_CliProduction::init()
{
    QFile::remove(ServiceRecord::defaultPath());
}

QList<TransferRecord> tst_CliProduction::records()
{
    return ServiceRecordReader::latest(ServiceRecord::defaultPath(), 100).records;
}

QStringList tst_CliProduction::download(const QString &port, const QStringList &options) const
{
    return QStringList {"download", m_imagePath, "--device",  "46xx",
                        "--port",   port,        "--h86-dir", SimDevice::h86Directory(),
                        "--yes"}
    + options;
}

void tst_CliProduction::downloadOnTheLine_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("fault"); // of the device
    QTest::addColumn<int>("exitCode");
    // Per try: outcome, the sector it resumed from (-1: none), its resume point (-1: none).
    QTest::addColumn<QStringList>("tries");

    const QString inSector5 = QString::number(SectorStart(5) + 0x10, 16);
    const QString block = QString::number(5 * BlocksPerChunk + 10); // in sector 5
    QTest::newRow("verify catches a byte altered after programming")
        << QStringList {"--verify"} << QStringList {"--alter-byte", inSector5} << 2
        << QStringList {"failed -1 5"};
    QTest::newRow("a retry resumes and succeeds on the second try")
        << QStringList {"--retries", "1"} << QStringList {"--compare-error", block} << 0
        << QStringList {"failed -1 5", "success 5 -1"};
    QTest::newRow("a verify difference is tried again from its sector")
        << QStringList {"--verify", "--retries", "2"} << QStringList {"--alter-byte", inSector5}
        << 0 << QStringList {"failed -1 5", "success 5 -1"};
    QTest::newRow("the tries run out")
        << QStringList {"--retries", "1"} << QStringList {"--compare-error", "10"} << 2
        << QStringList {"failed -1 0", "failed 0 0"};
}

void tst_CliProduction::downloadOnTheLine()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, fault);
    QFETCH(int, exitCode);
    QFETCH(QStringList, tries);
    const QString port = m_dir.filePath(QStringLiteral("ttyLine"));
    SimDeviceOptions simOptions;
    simOptions.oneShot = false; // every try, proof and verify is an entry of its own
    simOptions.extraArguments = QStringList {"--link", port} + fault;
    SimDevice sim(simOptions);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));

    const CliRun run = runCli(download(port, options + QStringList {"--unit", "SN-7"}));
    QCOMPARE(run.exitCode, exitCode);
    sim.stop();

    const QList<TransferRecord> recorded = records();
    QCOMPARE(recorded.size(), tries.size());
    const bool retried = options.contains(QStringLiteral("--retries"));
    for (qsizetype i = 0; i < tries.size(); ++i) {
        const TransferRecord &r = recorded.at(i);
        const QStringList expected = tries.at(i).split(u' ');
        QCOMPARE(TransferRecord::outcomeName(r.outcome), expected.at(0));
        QCOMPARE(r.resumedFromSector, expected.at(1).toInt());
        QCOMPARE(r.hasFailure ? r.resumeSector : -1, expected.at(2).toInt());
        QCOMPARE(r.unitId, QStringLiteral("SN-7"));
        QCOMPARE(r.attempt, retried ? int(i) + 1 : 0);
        // A try that resumes proves the unit: the image's first sector and the one below.
        QCOMPARE(r.proofSectors,
                 r.resumedFromSector == 5 ? QList<qint32>({0, 4}) : QList<qint32>());
    }
    const TransferRecord &last = recorded.last();
    if (options.contains(QStringLiteral("--verify")) && exitCode != 0) {
        QVERIFY(last.compared && !last.compareEqual);
        QCOMPARE(last.compareRanges,
                 QList<CompareRange>({{SectorStart(5) + 0x10, SectorStart(5) + 0x10, 1, 5}}));
        QVERIFY2(run.out.contains(QStringLiteral("The verify read found 1 differing bytes, the "
                                                 "first at 020010h (sector 5):")),
                 qPrintable(run.out));
    }
    if (exitCode == 0) {
        QCOMPARE(sim.flash(), m_flash);
        QCOMPARE(last.compared, options.contains(QStringLiteral("--verify")));
    }
}

void tst_CliProduction::skipUnchanged_data()
{
    QTest::addColumn<int>("changedSector"); // -1: the unit holds the image
    QTest::addColumn<QString>("expected");
    QTest::newRow("holds the image")
        << -1 << "The unit already holds the image: nothing to download.";
    QTest::newRow("one sector differs") << 5 << "Erasing flash sectors 5 up to 5...";
}

void tst_CliProduction::skipUnchanged()
{
    QFETCH(int, changedSector);
    QFETCH(QString, expected);
    const QString port = m_dir.filePath(QStringLiteral("ttySkip"));
    QByteArray memory = m_flash;
    if (changedSector >= 0)
        memory[SectorStart(changedSector) + 3] = 0;
    SimDeviceOptions simOptions;
    simOptions.oneShot = false;
    simOptions.initialMemory = withNvRam(memory);
    simOptions.extraArguments = {QStringLiteral("--link"), port};
    SimDevice sim(simOptions);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));

    const CliRun run = runCli(download(port, {"--skip-unchanged"}));
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.split(u'\n').contains(expected), qPrintable(run.out));
    sim.stop();
    QCOMPARE(sim.flash(), m_flash);
    // The check is a compare of its own; only what differed is downloaded.
    const QList<TransferRecord> recorded = records();
    QCOMPARE(recorded.first().operation, TransferOperation::Compare);
    QCOMPARE(recorded.size(), changedSector < 0 ? 1 : 2);
    if (changedSector >= 0)
        QCOMPARE(recorded.last().bytes, ChunkBytes);
}

void tst_CliProduction::stationOfThreeUnitsOnTwoPorts_data()
{
    QTest::addColumn<bool>("json");
    QTest::newRow("lines") << false;
    QTest::newRow("json") << true;
}

void tst_CliProduction::stationOfThreeUnitsOnTwoPorts()
{
    QFETCH(bool, json);
    // The device on the second port reports a compare error in every download.
    std::vector<std::unique_ptr<SimDevice>> sims;
    QStringList portArgs;
    for (int i = 0; i < 2; ++i) {
        SimDeviceOptions options;
        options.oneShot = false;
        const QString port = m_dir.filePath(QStringLiteral("ttyStation%1").arg(i));
        options.extraArguments = {QStringLiteral("--link"), port};
        if (i == 1)
            options.extraArguments << QStringLiteral("--compare-error") << QStringLiteral("3");
        sims.push_back(std::make_unique<SimDevice>(options));
        QVERIFY2(sims.back()->isReady(), qPrintable(sims.back()->errorString()));
        portArgs << QStringLiteral("--port") << port;
    }
    // Round one: SN-1 and SN-2; round two: SN-3 on the first port, the second one empty.
    CliRunOptions input;
    input.input = "SN-1\nSN-2\nSN-3\n-\n";
    const CliRun run = runCli(QStringList {"station", m_imagePath, "--device", "46xx", "--h86-dir",
                                           SimDevice::h86Directory(), "--yes"}
                                  + portArgs + (json ? QStringList {"--json"} : QStringList {}),
                              input);
    QCOMPARE(run.exitCode, 2);
    QStringList verdicts;
    for (const QString &line : run.out.split(u'\n', Qt::SkipEmptyParts)) {
        if (json) {
            // stdout holds the unit results alone.
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            verdicts << o.value("result").toString().toUpper() + u' ' + o.value("unit").toString();
        } else if (line.startsWith(QLatin1String("######## "))) {
            verdicts << line.section(u' ', 1, 1) + u' '
                    + line.section(QLatin1String("unit "), 1).section(u' ', 0, 0);
        }
    }
    QCOMPARE(verdicts, QStringList({"PASS SN-1", "FAIL SN-2", "PASS SN-3"}));
    QVERIFY2((json ? run.err : run.out)
                 .contains(QRegularExpression(QStringLiteral(
                     "Units: 2 passed, 1 failed; mean time per unit \\d+:\\d\\d\n"))),
             qPrintable(run.out + run.err));
    QStringList units;
    for (const TransferRecord &r : records())
        units << r.unitId + u' ' + TransferRecord::outcomeName(r.outcome);
    units.sort(); // the two ports of a round end in either order
    QCOMPARE(units, QStringList({"SN-1 success", "SN-2 failed", "SN-3 success"}));
    const CliRun history = runCli({"history", "--unit", "SN-2"});
    QCOMPARE(history.out.count(QStringLiteral("SN-2")), 1);
    QVERIFY(!history.out.contains(QStringLiteral("SN-1")));
}

QTEST_GUILESS_MAIN(tst_CliProduction)
#include "tst_cliproduction.moc"
