#include "comm/ResourceIdentity.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

// One port, bus or file under every spelling of its name, and two apart however alike.
class tst_ResourceIdentity : public QObject
{
    Q_OBJECT
private slots:
    void canBuses_data();
    void canBuses();
    void files_data();
    void files();
};

void tst_ResourceIdentity::canBuses_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("same");
    const QString url = QStringLiteral("virtualcan:tcp://127.0.0.1:35468/can0");
    QTest::newRow("trailing slash") << url << url + u'/' << true;
    QTest::newRow("plugin and host in capitals")
        << url << QStringLiteral("VirtualCAN:tcp://LOCALHOST:35468/can0") << true;
    QTest::newRow("dot segments") << url
                                  << QStringLiteral("virtualcan:tcp://127.0.0.1:35468/x/../can0")
                                  << true;
    QTest::newRow("bare channel on the default server")
        << url << QStringLiteral("virtualcan:can0") << true;
    QTest::newRow("another channel") << url << QStringLiteral("virtualcan:can1") << false;
    QTest::newRow("another server")
        << url << QStringLiteral("virtualcan:tcp://127.0.0.1:9/can0") << false;
    QTest::newRow("socketcan names keep their case")
        << QStringLiteral("socketcan:can0") << QStringLiteral("socketcan:CAN0") << false;
    QTest::newRow("another plugin")
        << QStringLiteral("socketcan:can0") << QStringLiteral("peakcan:can0") << false;
}

void tst_ResourceIdentity::canBuses()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, same);
    QCOMPARE(ResourceIdentity::ofCanBus(a) == ResourceIdentity::ofCanBus(b), same);
}

void tst_ResourceIdentity::files_data()
{
    // Relative to a fresh folder holding the file "f" and the folder "d".
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("same");
    QTest::newRow("through a folder and back") << "f"
                                               << "d/../f" << true;
    QTest::newRow("symbolic link") << "f"
                                   << "link" << true;
    QTest::newRow("hard link") << "f"
                               << "hard" << true;
    QTest::newRow("not there yet, two spellings") << "new"
                                                  << "d/./../new" << true;
    QTest::newRow("not there yet, through a linked folder") << "d/new"
                                                            << "dlink/new" << true;
    QTest::newRow("a copy") << "f"
                            << "copy" << false;
    QTest::newRow("there and not there") << "f"
                                         << "g" << false;
}

void tst_ResourceIdentity::files()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, same);
    QTemporaryDir dir;
    const QDir d(dir.path());
    QVERIFY(d.mkdir(QStringLiteral("d")));
    QVERIFY(!writeTestFile(dir, QStringLiteral("f"), "x").isEmpty());
    QVERIFY(QFile::copy(d.filePath(QStringLiteral("f")), d.filePath(QStringLiteral("copy"))));
    QVERIFY(QFile::link(d.filePath(QStringLiteral("f")), d.filePath(QStringLiteral("link"))));
    QVERIFY(QFile::link(d.filePath(QStringLiteral("d")), d.filePath(QStringLiteral("dlink"))));
    QCOMPARE(::link(QFile::encodeName(d.filePath(QStringLiteral("f"))).constData(),
                    QFile::encodeName(d.filePath(QStringLiteral("hard"))).constData()),
             0);
    QCOMPARE(ResourceIdentity::sameFile(d.filePath(a), d.filePath(b)), same);
}

QTEST_GUILESS_MAIN(tst_ResourceIdentity)
#include "tst_resourceidentity.moc"
