#include "base/DeviceKind.h"

#include <QtTest>

// The short device names are what records, the history list and --device carry: a name must
// read back as the kind it was written for, and no other text may pass for a device.
class tst_DeviceKind : public QObject
{
    Q_OBJECT
private slots:
    void fromName_data();
    void fromName();
    void namesReadBack();
};

void tst_DeviceKind::fromName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("known");
    QTest::addColumn<int>("kind");
    QTest::newRow("46xx") << "46xx" << true << 1;
    QTest::newRow("46xx in capitals") << "46XX" << true << 1;
    QTest::newRow("mixed case") << "46xX" << true << 1;
    QTest::newRow("board") << "4610" << true << 2;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("other board number") << "4611" << false << 0;
    QTest::newRow("digit of the kind") << "1" << false << 0;
    QTest::newRow("trailing blank") << "46xx " << false << 0;
    QTest::newRow("leading blank") << " 4610" << false << 0;
    QTest::newRow("prefix only") << "46" << false << 0;
}

void tst_DeviceKind::fromName()
{
    QFETCH(QString, name);
    QFETCH(bool, known);
    QFETCH(int, kind);
    const std::optional<DeviceKind> parsed = deviceKindFromName(name);
    QCOMPARE(parsed.has_value(), known);
    if (known)
        QCOMPARE(quint8(*parsed), quint8(kind));
}

void tst_DeviceKind::namesReadBack()
{
    QCOMPARE(deviceKindName(DeviceKind::Device46xx), QStringLiteral("46xx"));
    QCOMPARE(deviceKindName(DeviceKind::Board4610), QStringLiteral("4610"));
    // Records of a transfer made before a type was chosen have always said 46xx.
    QCOMPARE(deviceKindName(DeviceKind::None), QStringLiteral("46xx"));
    for (DeviceKind kind : {DeviceKind::Device46xx, DeviceKind::Board4610})
        QCOMPARE(deviceKindFromName(deviceKindName(kind)), std::optional<DeviceKind>(kind));
}

QTEST_GUILESS_MAIN(tst_DeviceKind)
#include "tst_devicekind.moc"
