#include <QDir>
#include <QProcess>
#include <QtTest>

// BrasvikV6 before its window: --help and --version answer without a display, and without
// one the program says why it cannot start instead of aborting.
class tst_Startup : public QObject
{
    Q_OBJECT
private slots:
    void withoutDisplay_data();
    void withoutDisplay();
};

void tst_Startup::withoutDisplay_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::newRow("version") << QStringList {"--version"} << 0 << "BrasvikV6 " BRASVIK_VERSION
                             << "";
    QTest::newRow("help") << QStringList {"--help"} << 0 << "--h86-dir <dir>"
                          << "";
    QTest::newRow("help after an image") << QStringList {"os.h86", "-h"} << 0 << "[image]"
                                         << "";
    QTest::newRow("no display") << QStringList {} << 1 << ""
                                << "no display: set DISPLAY or use brasvik-cli";
    QTest::newRow("no display, an image") << QStringList {"os.h86"} << 1 << ""
                                          << "no display: set DISPLAY or use brasvik-cli";
}

void tst_Startup::withoutDisplay()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(variable));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QDir(qEnvironmentVariable("BRASVIK_BIN_DIR")).filePath(QStringLiteral("BrasvikV6")),
            args);
    QVERIFY(p.waitForFinished(30000));
    const QString stdOut = QString::fromLocal8Bit(p.readAllStandardOutput());
    const QString stdErr = QString::fromLocal8Bit(p.readAllStandardError());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), status);
    QVERIFY2(stdOut.contains(out), qPrintable(stdOut));
    QVERIFY2(err.isEmpty() ? stdErr.isEmpty() : stdErr.contains(err), qPrintable(stdErr));
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_Startup.moc"
