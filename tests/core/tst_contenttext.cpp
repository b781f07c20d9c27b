#include "core/ContentText.h"
#include "core/ImageState.h"

#include <QTest>

class tst_ContentText : public QObject
{
    Q_OBJECT

private slots:
    void text_data();
    void text();
};

void tst_ContentText::text_data()
{
    QTest::addColumn<bool>("retain");
    QTest::addColumn<qint32>("first");
    QTest::addColumn<qint32>("end");
    QTest::addColumn<int>("deviceType");
    QTest::addColumn<bool>("binary");
    QTest::addColumn<QString>("text");

    QTest::newRow("retain wins") << true << 11 << 17 << 1 << true << "Retain values (NV RAM)";
    QTest::newRow("retain 4610") << true << 0 << 0 << 2 << true << "Retain values (NV RAM)";
    QTest::newRow("46xx OS") << false << 0 << 11 << 1 << false << "Operating system";
    QTest::newRow("46xx any end sector") << false << 0 << 5 << 1 << true << "Operating system";
    QTest::newRow("46xx whole flash")
        << false << 0 << 0 << 1 << true << "FLASH memory completely (without NV RAM)";
    QTest::newRow("4610 from H86") << false << 0 << 0 << 2 << false << "Operating system";
    QTest::newRow("4610 binary") << false << 0 << 8 << 2 << true
                                 << "VMC 4610 Firmware image with NV parameter";
    QTest::newRow("no type, binary")
        << false << 0 << 0 << 0 << true << "VMC 4610 Firmware image with NV parameter";
    QTest::newRow("CoDeSys complete")
        << false << 11 << 17 << 1 << true << "CoDeSys PLC project completely";
    QTest::newRow("CoDeSys code") << false << 11 << 15 << 1 << true << "CoDeSys PLC program code";
    QTest::newRow("CoDeSys other end")
        << false << 11 << 0 << 1 << true << "CoDeSys PLC program code";
    QTest::newRow("CoDeSys data") << false << 15 << 17 << 1 << true << "CoDeSys PLC data";
    QTest::newRow("curves") << false << 17 << 19 << 1 << true << "Curve and system parameters";
    QTest::newRow("curves, any end")
        << false << 17 << 0 << 2 << false << "Curve and system parameters";
    QTest::newRow("unknown 3") << false << 3 << 11 << 1 << true << "Unknown";
    QTest::newRow("unknown negative") << false << -1 << 0 << 1 << true << "Unknown";
}

void tst_ContentText::text()
{
    QFETCH(bool, retain);
    QFETCH(qint32, first);
    QFETCH(qint32, end);
    QFETCH(int, deviceType);
    QFETCH(bool, binary);
    QFETCH(QString, text);

    ImageState image;
    image.RetainData = retain;
    image.FirstSector = first;
    image.EndSector = end;
    image.BinaryImage = binary;
    QCOMPARE(ContentText(image, DeviceKind(deviceType)), text);
}

QTEST_GUILESS_MAIN(tst_ContentText)
#include "tst_contenttext.moc"
