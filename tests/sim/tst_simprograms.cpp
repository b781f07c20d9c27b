#include "DeviceMemory.h"
#include "support/SimDevice.h"
#include "support/SimWire.h"
#include "StandInProgram.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Every target file name the download and upload windows can choose.
QStringList targetFileNames()
{
    QStringList names;
    for (const QString &role : {QStringLiteral("D"), QStringLiteral("U")}) {
        const QString verb
            = role == QLatin1String("D") ? QStringLiteral("Download") : QStringLiteral("Upload");
        for (const QString &nv : {QString(), QStringLiteral("NV")}) {
            names << role + "Loader" + nv << role + "Loader" + nv + "CAN"
                  << role + "Loader" + nv + "IF" << verb + nv << verb + nv + "IF";
            for (const QString &channel : {QStringLiteral("1"), QStringLiteral("2")}) {
                for (const char *rate : {"125K", "250K", "500K"})
                    names << verb + nv + "CAN" + channel + "_" + QLatin1String(rate);
            }
        }
    }
    for (QString &name : names)
        name += QStringLiteral(".H86");
    return names;
}

} // namespace

class TestSimPrograms : public QObject
{
    Q_OBJECT

private slots:
    void everyTargetFileExists();
    void headerMatchesTheName_data();
    void headerMatchesTheName();
    void committedFilesAreCurrent();
    void neverWhereTheToolLooks();
    void corruptedProgramIsRefused();
    void sampleImage();
    void traceLines();
    void sectorMap_data();
    void sectorMap();
    void flashOnlyClearsBits();
};

void TestSimPrograms::everyTargetFileExists()
{
    const QStringList expected = targetFileNames();
    QCOMPARE(expected.size(), 44);
    QStringList present = QDir(SimDevice::h86Directory()).entryList({"*.H86"}, QDir::Files);
    QStringList sortedExpected = expected;
    sortedExpected.sort();
    present.sort();
    QCOMPARE(present, sortedExpected);
}

void TestSimPrograms::headerMatchesTheName_data()
{
    QTest::addColumn<QString>("name");
    for (const QString &name : targetFileNames())
        QTest::newRow(qPrintable(name)) << name;
}

void TestSimPrograms::headerMatchesTheName()
{
    QFETCH(QString, name);
    // The bytes a host sends: the data of the type-00 records, converted here on their own.
    const QByteArray stream = SimWire::programBytes(name);
    QString why;
    const std::optional<StandInProgram> p = StandInProgram::parse(stream, &why);
    QVERIFY2(p, qPrintable(why));
    QCOMPARE(p->fileName, name);
    QCOMPARE(p->stage == StandInProgram::Stage::Loader, name.mid(1, 6) == "Loader");
    QCOMPARE(p->role == StandInProgram::Role::Download, name.startsWith('D'));
    QCOMPARE(p->data == StandInProgram::Data::Retain, name.contains("NV"));
    QCOMPARE(p->device == StandInProgram::Device::Board4610, name.contains("IF."));
    QCOMPARE(p->isCan(), name.contains("CAN"));
    if (name.contains("CAN1") || name.contains("CAN2")) {
        QCOMPARE(int(p->link), name.contains("CAN1") ? 1 : 2);
        QCOMPARE(p->canKbps, name.section('_', 1).section('K', 0, 0).toInt());
    } else {
        QCOMPARE(p->canKbps, 0);
    }
}

void TestSimPrograms::committedFilesAreCurrent()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess make;
    make.start(SimDevice::executable(), {"--make-h86", dir.path()});
    QVERIFY(make.waitForFinished(10000));
    QCOMPARE(make.exitCode(), 0);
    for (const QString &name : targetFileNames()) {
        QFile fresh(QDir(dir.path()).filePath(name));
        QFile committed(QDir(SimDevice::h86Directory()).filePath(name));
        QVERIFY(fresh.open(QIODevice::ReadOnly));
        QVERIFY(committed.open(QIODevice::ReadOnly));
        QVERIFY2(fresh.readAll() == committed.readAll(), qPrintable(name + " differs"));
    }
}

void TestSimPrograms::neverWhereTheToolLooks()
{
    // The tool looks in H86 beside its executable; the build must not put stand-ins there.
    const QDir beside(QDir(qEnvironmentVariable("BRASVIK_BIN_DIR")).filePath("H86"));
    for (const QString &name : beside.entryList({"*.H86"}, QDir::Files)) {
        QFile file(beside.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(!file.readAll().contains(":10000000424B5349"), qPrintable(name));
    }
}

void TestSimPrograms::corruptedProgramIsRefused()
{
    QByteArray stream = SimWire::programBytes("Download.H86");
    QVERIFY(StandInProgram::parse(stream, nullptr));
    stream[100] = char(stream[100] ^ 0x20);
    QString why;
    QVERIFY(!StandInProgram::parse(stream, &why));
    QVERIFY(why.contains("CRC"));
    QVERIFY(!StandInProgram::parse(stream.left(stream.size() - 1), &why));
    QVERIFY(!StandInProgram::declaredLength(QByteArray("BKSX") + stream.mid(4)));
}

void TestSimPrograms::sampleImage()
{
    QTemporaryDir dir;
    const QString out = dir.filePath("sample.h86");
    QProcess script;
    script.start(
        "python3",
        {QDir(qEnvironmentVariable("BRASVIK_SOURCE_DIR")).filePath("scripts/make-sample-image.py"),
         out});
    if (!script.waitForStarted(5000))
        QSKIP("python3 is not installed");
    QVERIFY(script.waitForFinished(30000));
    QCOMPARE(script.exitCode(), 0);
    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    // Read it as a plain Intel HEX file: type 04 sets the upper address, type 00 loads.
    QByteArray image(0x100000, char(0xFF));
    int upper = 0;
    int end = 0;
    for (QByteArray line : file.readAll().split('\n')) {
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        const QByteArray record = QByteArray::fromHex(line.mid(1));
        quint8 sum = 0;
        for (char b : record)
            sum += quint8(b);
        QCOMPARE(sum, quint8(0));
        const int type = quint8(record[3]);
        const int offset = (quint8(record[1]) << 8) | quint8(record[2]);
        if (type == 4)
            upper = ((quint8(record[4]) << 8) | quint8(record[5])) << 16;
        if (type == 0) {
            const QByteArray data = record.mid(4, quint8(record[0]));
            image.replace(upper + offset, data.size(), data);
            end = qMax(end, upper + offset + int(data.size()));
        }
    }
    // An operating-system image of a few hundred KiB with its signature word at 0x200.
    QCOMPARE(image.mid(0x200, 2), QByteArray::fromHex("5AA5"));
    QVERIFY(end >= 0x40000 && end < 0x80000);
    QVERIFY(image.mid(0x210, 64).contains("VMC 46xx sample operating system"));
}

void TestSimPrograms::traceLines()
{
    const QList<SimTraceLine> lines = SimDevice::parseTrace("# brasvik-sim trace 1\n"
                                                            "12 EVT boot byte\n"
                                                            "15 H>D SER 0604000001123425\n"
                                                            "19 D>H SER 55\n"
                                                            "20 H>D CAN 63F 0013\n"
                                                            "21 D>H CAN 5BF -\n"
                                                            "garbage\n");
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines[0].kind, SimTraceLine::Kind::Event);
    QCOMPARE(lines[0].text, QStringLiteral("boot byte"));
    QCOMPARE(lines[1].micros, 15);
    QCOMPARE(lines[1].kind, SimTraceLine::Kind::HostToDevice);
    QCOMPARE(lines[1].bytes, QByteArray::fromHex("0604000001123425"));
    QCOMPARE(lines[2].kind, SimTraceLine::Kind::DeviceToHost);
    QVERIFY(lines[3].can);
    QCOMPARE(lines[3].canId, 0x63FU);
    QCOMPARE(lines[3].bytes, QByteArray::fromHex("0013"));
    QCOMPARE(lines[4].canId, 0x5BFU);
    QVERIFY(lines[4].bytes.isEmpty());
}

void TestSimPrograms::sectorMap_data()
{
    QTest::addColumn<int>("sector");
    QTest::addColumn<int>("start");
    QTest::newRow("0") << 0 << 0x00000;
    QTest::newRow("1") << 1 << 0x04000;
    QTest::newRow("2") << 2 << 0x06000;
    QTest::newRow("3") << 3 << 0x08000;
    QTest::newRow("4") << 4 << 0x10000;
    QTest::newRow("11") << 11 << 0x80000;
    QTest::newRow("17") << 17 << 0xE0000;
    QTest::newRow("18") << 18 << 0xF0000;
    QTest::newRow("19 (end)") << 19 << 0x100000;
}

void TestSimPrograms::sectorMap()
{
    QFETCH(int, sector);
    QFETCH(int, start);
    QCOMPARE(DeviceMemory::sectorStart(sector), start);
    if (sector < 19) {
        QCOMPARE(DeviceMemory::sectorOf(start), sector);
        QCOMPARE(DeviceMemory::sectorOf(DeviceMemory::sectorStart(sector + 1) - 1), sector);
    }
}

void TestSimPrograms::flashOnlyClearsBits()
{
    DeviceMemory memory(DeviceMemory::Model::Board4610);
    QCOMPARE(memory.flashSize(), 0x50000);
    QVERIFY(memory.program(0x100, QByteArray::fromHex("F00F")));
    QVERIFY(memory.program(0x100, QByteArray::fromHex("3CC3")));
    QCOMPARE(memory.readFlash(0x100, 2), QByteArray::fromHex("3003"));
    // Erasing a range that runs past the board's flash stops at its end.
    QCOMPARE(memory.eraseSectors(0, 19), 0x50000);
    QCOMPARE(memory.readFlash(0x100, 2), QByteArray::fromHex("FFFF"));
    QVERIFY(!memory.program(0x4FFFF, QByteArray::fromHex("0000")));
    QString error;
    QVERIFY(!memory.setFileImage(QByteArray(0x50000, '\0'), &error));
    QVERIFY(error.contains("329984") || error.contains(QString::number(0x50000 + 2304 + 0x7000)));
}

QTEST_GUILESS_MAIN(TestSimPrograms)
#include "tst_simprograms.moc"
