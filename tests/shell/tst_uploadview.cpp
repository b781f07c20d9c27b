#include "shell/HexLayout.h"
#include "shell/HexViewer.h"
#include "core/ImageState.h"

#include <QScrollBar>
#include <QTest>

// The viewer after an upload whose buffer is shorter than the view (a 4610 reading of another
// length leaves ViewSize as it was).
class TestUploadView : public QObject
{
    Q_OBJECT

private slots:
    void linesBeyondTheBufferAreBlank_data();
    void linesBeyondTheBufferAreBlank();
};

void TestUploadView::linesBeyondTheBufferAreBlank_data()
{
    QTest::addColumn<qint32>("top");
    QTest::addColumn<int>("imageLines"); // lines showing image bytes, the rest blank
    QTest::newRow("wholly beyond") << 0x2000 << 0;
    QTest::newRow("far beyond") << 0x50000 << 0;
    QTest::newRow("straddling the end") << 0xF80 << 8;
}

void TestUploadView::linesBeyondTheBufferAreBlank()
{
    QFETCH(qint32, top);
    QFETCH(int, imageLines);

    ImageState image;
    image.FileName = QStringLiteral("VMC 4610 Firmware image with NV parameter.b86");
    image.ViewSize = 329984;
    image.ImageBuffer = QByteArray(0x1000, 'A');

    THexViewer viewer;
    viewer.resize(700, 400);
    viewer.setImage(&image);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    viewer.setScrollRange(true);
    viewer.VScrollBar->setValue(HexLayout::positionOf(top, viewer.LineHeight()));
    QCOMPARE(viewer.topAddress(), top);

    const QStringList addr = viewer.paintLines(THexViewer::AddrColumn);
    const QStringList data = viewer.paintLines(THexViewer::DataColumn);
    const QStringList ascii = viewer.paintLines(THexViewer::AsciiColumn);
    QVERIFY(data.size() > imageLines);
    for (int i = 0; i < data.size(); ++i) {
        if (i < imageLines) {
            QCOMPARE(addr[i], HexLayout::addressText(top + 16 * i));
            QVERIFY(data[i].startsWith(QStringLiteral("41 41")));
        } else {
            QCOMPARE(addr[i], QString(6, u' '));
            QCOMPARE(data[i], QString(48, u' '));
            QCOMPARE(ascii[i], QString(16, u' '));
        }
    }
}

QTEST_MAIN(TestUploadView)
#include "tst_uploadview.moc"
