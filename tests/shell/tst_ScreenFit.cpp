#include "base/SettingsStore.h"
#include "comm/KTSerial.h"
#include "core/ImageLoader.h"
#include "core/ImageState.h"
#include "shell/BrasvikDownload.h"
#include "shell/BrasvikMain.h"
#include "shell/DifferencesForm.h"
#include "shell/HexViewer.h"
#include "support/TempSettings.h"
#include "transfer/TargetFiles.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

// The windows on a 1920 x 1080 screen at a scale of 1.5 (set by the suite's environment), where
// the screen holds 1280 x 720 of the windows' own pixels: everything fits on it and is read whole.
class tst_ScreenFit : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void mainWindowFits_data();
    void mainWindowFits();
    void missingFileMessageIsReadWhole();
    void differencesListBesideTheBytes();

private:
    QRect available() const { return QGuiApplication::primaryScreen()->availableGeometry(); }
};

void tst_ScreenFit::initTestCase()
{
    QCOMPARE(QGuiApplication::primaryScreen()->size(), QSize(1280, 720));
}

void tst_ScreenFit::mainWindowFits_data()
{
    QTest::addColumn<QRect>("stored"); // an empty rect: nothing stored
    QTest::newRow("placed on the screen at scale 1") << QRect(890, 522, 609, 372);
    QTest::newRow("larger than the screen") << QRect(0, 0, 2000, 1400);
    QTest::newRow("nothing stored") << QRect();
}

void tst_ScreenFit::mainWindowFits()
{
    QFETCH(QRect, stored);
    TempSettings settings;
    if (!stored.isNull()) {
        QVERIFY(QDir().mkpath(QFileInfo(settings.iniFile()).absolutePath()));
        QSettings s(settings.iniFile(), QSettings::IniFormat);
        // As text, as the settings file holds it.
        s.setValue("Left", QString::number(stored.x()));
        s.setValue("Top", QString::number(stored.y()));
        s.setValue("Width", QString::number(stored.width()));
        s.setValue("Height", QString::number(stored.height()));
    }
    TBKMainForm w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY2(available().contains(w.frameGeometry()),
             qPrintable(QStringLiteral("%1,%2 %3x%4")
                            .arg(w.frameGeometry().x())
                            .arg(w.frameGeometry().y())
                            .arg(w.frameGeometry().width())
                            .arg(w.frameGeometry().height())));
}

// The folders of a missing-file message are read whole: the box fits the screen and its text is
// not cut off at the right.
void tst_ScreenFit::missingFileMessageIsReadWhole()
{
    TempSettings settings;
    QTemporaryDir root;
    // A folder path as long as a deep project tree makes it.
    QString folder = root.path();
    for (int i = 0; i < 6; ++i)
        folder += QStringLiteral("/target-programs-of-the-device-maker-%1").arg(i);
    QVERIFY(QDir().mkpath(folder));
    TargetFiles::setDirectory(folder);
    SettingsStore::overrideComPortDevicePath(0, QStringLiteral("/dev/null"));
    TKTSerial serial;
    ImageState image;
    QVERIFY(ImageLoader::LoadB86Data(image, QByteArray(4096, '\x11'), DeviceType).ok());
    image.FileName = QStringLiteral("nv.b86");

    // Measured while the box is up, judged once it is closed.
    bool shown = false;
    bool holdsFolder = false;
    QRect frame;
    int labelWidth = 0;
    int labelNeeds = 0;
    int labelRight = 0;
    int boxWidth = 0;
    TBKDownloadForm form(nullptr, serial, image, DeviceKind::Device46xx, TSettings(), {});
    QTimer user;
    user.setInterval(10);
    connect(&user, &QTimer::timeout, &form, [&] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!box || !box->isVisible())
                continue;
            const auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
            shown = true;
            holdsFolder = label && label->text().contains(folder);
            frame = box->frameGeometry();
            labelWidth = label ? label->width() : 0;
            labelNeeds = label ? label->minimumWidth() : 0;
            labelRight = label ? label->geometry().right() : 0;
            boxWidth = box->width();
            box->button(QMessageBox::Ok)->click();
            return;
        }
    });
    user.start();
    QCOMPARE(form.exec(), 3);
    QVERIFY(shown);
    QVERIFY(holdsFolder);
    QVERIFY2(available().contains(frame), qPrintable(QString::number(frame.right())));
    // Not squeezed below the width its lines need, nor past the box's edge.
    QVERIFY2(labelWidth >= labelNeeds,
             qPrintable(QStringLiteral("%1 < %2").arg(labelWidth).arg(labelNeeds)));
    QVERIFY(labelRight < boxWidth);
    TargetFiles::setDirectory(QString());
    SettingsStore::clearOverrides();
}

// The list of differences opens beside the bytes it points at, on the screen, and shows its
// addresses whole.
void tst_ScreenFit::differencesListBesideTheBytes()
{
    TempSettings settings;
    TBKMainForm w;
    ImageState &image = w.Image;
    QVERIFY(ImageLoader::LoadB86Data(image, QByteArray(4096, '\x22'), DeviceType).ok());
    w.move(300, 150);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QByteArray device = image.ImageBuffer;
    device[0x40] = 0;
    w.showDifferences({{0x40, 0x40, 1, -1}}, 1, {{0x40, 0x41}}, device);
    TDifferencesForm *list = w.differencesForm();
    QVERIFY(list);
    QVERIFY(QTest::qWaitForWindowExposed(list));
    const QRect bytes(w.Viewer->mapToGlobal(w.Viewer->bytesRect().topLeft()),
                      w.Viewer->bytesRect().size());
    QVERIFY(!list->frameGeometry().intersects(bytes));
    QVERIFY(available().contains(list->frameGeometry()));
    const QTreeWidgetItem *item = list->RangeList->topLevelItem(0);
    QCOMPARE(item->text(0), QStringLiteral("000040h"));
    const QFontMetricsF metrics(list->RangeList->font());
    for (int column = 0; column < 4; ++column) {
        // The text and the view's margins on both sides.
        QVERIFY2(list->RangeList->columnWidth(column)
                     >= metrics.horizontalAdvance(item->text(column)) + 8,
                 qPrintable(QString::number(column)));
    }
    list->reject();
}

QTEST_MAIN(tst_ScreenFit)
#include "tst_ScreenFit.moc"
