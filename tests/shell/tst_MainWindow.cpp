#include "ModalScript.h"
#include "base/BKGlobal.h"
#include "base/IdleSlot.h"
#include "base/SettingsStore.h"
#include "shell/BrasvikDeviceType.h"
#include "shell/BrasvikMain.h"
#include "shell/DifferencesForm.h"
#include "shell/HexViewer.h"
#include "shell/TransferWindows.h"
#include "support/TempSettings.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWheelEvent>
#include <QWindow>

#include <memory>

namespace {

QByteArray flashImage(qint32 first, qint32 end)
{
    QByteArray image(0x100000, char(0xFF));
    for (int i = 0; i < 0x80000; ++i)
        image[i] = char(i * 7);
    image.append(reinterpret_cast<const char *>(&first), 4);
    image.append(reinterpret_cast<const char *>(&end), 4);
    return image;
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TempSettings> m_settings;
    QTemporaryDir m_dir;
    int m_downloads = 0;
    int m_uploads = 0;
    int m_uploadResult = mrAbort;
    QByteArray m_uploadData;
    bool m_lastCompare = false;

    QString writeFile(const QString &name, const QByteArray &data)
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return {};
        f.write(data);
        return path;
    }

    // A window with a 46xx operating-system image loaded from a B86 file.
    std::unique_ptr<TBKMainForm> windowWithImage(const QByteArray &data = flashImage(0, 11),
                                                 const QString &name = "os.b86")
    {
        auto w = std::make_unique<TBKMainForm>();
        ModalScript script(*w);
        const bool loaded = w->LoadImageFile(writeFile(name, data));
        w->RunModal = nullptr;
        return loaded ? std::move(w) : nullptr;
    }

    static bool imageCommandsEnabled(const TBKMainForm &w)
    {
        return w.ButtonSaveFile->isEnabled() && w.ButtonDownload->isEnabled()
            && w.ButtonCompare->isEnabled();
    }
    static bool imageCommandsDisabled(const TBKMainForm &w)
    {
        return !w.ButtonSaveFile->isEnabled() && !w.ButtonDownload->isEnabled()
            && !w.ButtonCompare->isEnabled();
    }

private slots:
    void init()
    {
        m_settings = std::make_unique<TempSettings>();
        Settings = TSettings();
        DeviceType = DeviceKind::None;
        m_downloads = m_uploads = 0;
        m_uploadResult = mrAbort;
        m_uploadData.clear();
        TransferWindows::setDownload([this](TBKMainForm &) {
            ++m_downloads;
            return int(mrOk);
        });
        TransferWindows::setUpload([this](TBKMainForm &owner, bool compare) {
            ++m_uploads;
            m_lastCompare = compare;
            if (m_uploadResult == mrOk && !compare)
                owner.Image.ImageBuffer = m_uploadData;
            return m_uploadResult;
        });
    }

    void cleanup()
    {
        IdleSlot::cancel();
        m_settings.reset();
    }

    void startState()
    {
        TBKMainForm w;
        QCOMPARE(w.windowTitle(), QStringLiteral("BrasvikV6"));
        QVERIFY(imageCommandsDisabled(w));
        QVERIFY(w.ButtonOpenFile->isEnabled());
        QVERIFY(w.ButtonUpload->isEnabled());
        QVERIFY(w.ButtonInit->isEnabled());
        QVERIFY(w.ButtonInfo->isEnabled());
        QCOMPARE(w.ButtonCompare->toolTip(), QStringLiteral("Upload and compare..."));
        QCOMPARE(w.ButtonInit->toolTip(), QStringLiteral("Init COM/Options..."));
        const QStringList panels {"COM:", "1", "57600 bit/s", "", "", "Content:", "", ""};
        for (int i = 0; i < 8; ++i)
            QCOMPARE(w.statusText(i), panels.at(i));
        QVERIFY(!w.Viewer->VScrollBar->isEnabled());
        QCOMPARE(w.Serial.Baudrate(), br57600);
        QCOMPARE(w.Serial.FrameParitybit(), TParityBit::None);
        QVERIFY(w.Serial.SyncEventHandling());
        QCOMPARE(w.Image.ViewSize, 0x100000);
        for (const QString &line : w.Viewer->paintLines(THexViewer::DataColumn))
            QCOMPARE(line, QString(48, u' '));
    }

    void loadB86ShowsTheImage()
    {
        auto w = windowWithImage();
        QVERIFY(w);
        QCOMPARE(w->windowTitle(), QStringLiteral("BrasvikV6 - os.b86"));
        QCOMPARE(w->statusText(6), QStringLiteral("Operating system"));
        QVERIFY(imageCommandsEnabled(*w));
        QVERIFY(w->Viewer->VScrollBar->isEnabled());
        QCOMPARE(w->Viewer->VScrollBar->maximum(), 0xFFFF * w->Viewer->LineHeight());
        QCOMPARE(DeviceType, DeviceKind::Device46xx);
        w->Viewer->resize(600, 200);
        const QStringList addr = w->Viewer->paintLines(THexViewer::AddrColumn);
        QVERIFY(!addr.isEmpty());
        QCOMPARE(addr.at(0), QStringLiteral("000000"));
        QCOMPARE(w->Viewer->paintLines(THexViewer::DataColumn).at(1),
                 QStringLiteral("70 77 7e 85 8c 93 9a a1 a8 af b6 bd c4 cb d2 d9"));
    }

    void loadH86AsksForTheDeviceType()
    {
        const QString path = writeFile("os.h86",
                                       ":10000000000102030405060708090A0B0C0D0E0F78\n"
                                       ":00000001FF\n");
        TBKMainForm w;
        ModalScript script(w);
        script.ok("TBKDeviceTypeForm", "RBTypeCVBRD1_Zx");
        QVERIFY(w.LoadImageFile(path));
        QVERIFY(script.unexpected.isEmpty());
        QCOMPARE(script.seen, QStringList {"TBKDeviceTypeForm"});
        QCOMPARE(DeviceType, DeviceKind::Board4610);
        QCOMPARE(w.windowTitle(), QStringLiteral("BrasvikV6 - os.h86"));
        QCOMPARE(w.statusText(6), QStringLiteral("Operating system"));
        QCOMPARE(w.Image.ImageBuffer.size(), 0x50000);
    }

    // A cancelled device type, and an H86 file refused for an upper address beyond the flash.
    void previousImageKept_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("text"); // empty: the device-type dialog is cancelled
        QTest::newRow("cancelled device type") << QByteArray(":0400000001020304F2\n") << "";
        QTest::newRow("upper address 0800")
            << QByteArray(":020000040800F2\n:0400000001020304F2\n")
            << "sets the upper address 08000000h, beyond the 320 KiB flash of the VMC 4610 board";
    }

    void previousImageKept()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, text);
        auto w = windowWithImage();
        QVERIFY(w);
        ModalScript script(*w);
        if (text.isEmpty()) {
            script.cancel("TBKDeviceTypeForm");
        } else {
            script.ok("TBKDeviceTypeForm", "RBTypeCVBRD1_Zx");
            script.message();
        }
        QVERIFY(!w->LoadImageFile(writeFile("other.hex", content)));
        QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        QCOMPARE(script.messages.size(), text.isEmpty() ? 0 : 1);
        if (!text.isEmpty())
            QVERIFY2(script.messages.at(0).contains(text), qPrintable(script.messages.at(0)));
        QCOMPARE(w->windowTitle(), QStringLiteral("BrasvikV6 - os.b86"));
        QCOMPARE(w->statusText(6), QStringLiteral("Operating system"));
        QVERIFY(imageCommandsEnabled(*w));
        QVERIFY(w->Viewer->VScrollBar->isEnabled());
        QCOMPARE(DeviceType, DeviceKind::Device46xx);
    }

    void loadFailures_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("asksType");
        QTest::addColumn<QString>("text");
        QTest::newRow("extension")
            << "image.bin" << QByteArray(16, 'x') << false << "Invalid file type!";
        QTest::newRow("b86 length")
            << "short.b86" << QByteArray(0x50000, 'x') << false << "Invalid file type!";
        QTest::newRow("segment record")
            << "seg.h86" << QByteArray(":020000021000EC\n") << true << "Invalid HEX file type!";
        QTest::newRow("beyond the flash")
            << "big.h86" << QByteArray(":020000040004F6\n:04FFFE0001020304F5\n") << true
            << "HEX file and device type does not match!";
        QTest::newRow("short line") << "cut.h86" << QByteArray(":100000\n") << true << "cut.h86";
        QTest::newRow("missing file") << "" << QByteArray() << false << "nothing.b86";
    }

    void loadFailures()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(bool, asksType);
        QFETCH(QString, text);
        auto w = windowWithImage();
        QVERIFY(w);
        const QString path
            = name.isEmpty() ? m_dir.filePath("nothing.b86") : writeFile(name, content);
        ModalScript script(*w);
        if (asksType)
            script.ok("TBKDeviceTypeForm", "RBTypeCVBRD1_Zx");
        script.message();
        QVERIFY(!w->LoadImageFile(path));
        QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        QCOMPARE(script.messages.size(), 1);
        QVERIFY(script.messages.at(0).startsWith("Brasvik|error|"));
        QVERIFY2(script.messages.at(0).contains(text), qPrintable(script.messages.at(0)));
        QCOMPARE(w->windowTitle(), QStringLiteral("BrasvikV6"));
        QVERIFY(imageCommandsDisabled(*w));
        QVERIFY(!w->Viewer->VScrollBar->isEnabled());
        QCOMPARE(w->statusText(6), QString());
        QVERIFY(w->Image.ImageBuffer.isEmpty());
        for (const QString &line : w->Viewer->paintLines(THexViewer::AddrColumn))
            QCOMPARE(line, QString(6, u' '));
    }

    void downloadChain_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("can");
        QTest::addColumn<QStringList>("dialogs");
        const QString t = "TBKDeviceTypeForm", i = "TBKInterfaceForm", o = "TBKOptionsForm";
        QTest::newRow("h86") << "h86" << false << QStringList {t, o};
        QTest::newRow("b86") << "b86" << false << QStringList {t};
        QTest::newRow("h86 with CAN") << "h86" << true << QStringList {t, i, o};
        QTest::newRow("b86 with CAN") << "b86" << true << QStringList {t, i};
        QTest::newRow("board h86 with CAN") << "board" << true << QStringList {t, o};
    }

    void downloadChain()
    {
        QFETCH(QString, file);
        QFETCH(bool, can);
        QFETCH(QStringList, dialogs);
        TBKMainForm w;
        Settings.CANEnabled = can;
        {
            ModalScript load(w);
            load.ok("TBKDeviceTypeForm", file == "board" ? "RBTypeCVBRD1_Zx" : "RBType46xx");
            const QString path = file == "b86" ? writeFile("os.b86", flashImage(0, 11))
                                               : writeFile("os.h86", ":0400000001020304F2\n");
            QVERIFY(w.LoadImageFile(path));
        }
        ModalScript script(w);
        for (const QString &d : dialogs) {
            const QByteArray name = d.toLatin1();
            // The loaded type is preselected and the other one locked.
            if (d == "TBKDeviceTypeForm")
                script.then([&](QDialog &dlg) {
                    auto &f = static_cast<TBKDeviceTypeForm &>(dlg);
                    const bool board = file == "board";
                    if (f.RBTypeCVBRD1_Zx->isChecked() != board
                        || f.RBType46xx->isEnabled() == board)
                        script.unexpected << "preselection";
                    f.ButtonOKClick();
                    return f.result();
                });
            else
                script.ok(name.constData());
        }
        w.ButtonDownload->trigger();
        QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        QCOMPARE(script.seen, dialogs);
        QCOMPARE(m_downloads, 1);
    }

    void downloadStopsAtACancel()
    {
        TBKMainForm window;
        {
            ModalScript load(window);
            load.ok("TBKDeviceTypeForm", "RBType46xx");
            QVERIFY(window.LoadImageFile(writeFile("os.h86", ":0400000001020304F2\n")));
        }
        ModalScript script(window);
        script.ok("TBKDeviceTypeForm").cancel("TBKOptionsForm");
        window.ButtonDownload->trigger();
        QCOMPARE(m_downloads, 0);
        QCOMPARE(window.Image.EndSector, 1);
    }

    void uploadResults_data()
    {
        QTest::addColumn<int>("result");
        QTest::newRow("data read") << int(mrOk);
        QTest::newRow("ended without data") << int(mrCancel);
        QTest::newRow("aborted") << int(mrAbort);
    }

    void uploadResults()
    {
        QFETCH(int, result);
        auto w = windowWithImage();
        QVERIFY(w);
        Settings.UploadOpt2 = true;
        m_uploadResult = result;
        m_uploadData = flashImage(17, 19);
        ModalScript script(*w);
        script.ok("TBKDeviceTypeForm", "RBType46xx").ok("TBKChooseForm", "RBParameter");
        w->ButtonUpload->trigger();
        QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        QCOMPARE(m_uploads, 1);
        QVERIFY(!m_lastCompare);
        switch (result) {
        case mrOk:
            QCOMPARE(w->windowTitle(),
                     QStringLiteral("BrasvikV6 - Curve and system parameters.b86"));
            QCOMPARE(w->statusText(6), QStringLiteral("Curve and system parameters"));
            QVERIFY(imageCommandsEnabled(*w));
            QVERIFY(w->Image.BinaryImage);
            QCOMPARE(w->Image.FirstSector, 17);
            QCOMPARE(w->Image.EndSector, 19);
            QCOMPARE(w->Image.DataEnd, 0x100000);
            QVERIFY(w->Viewer->VScrollBar->isEnabled());
            break;
        case mrCancel:
            QCOMPARE(w->windowTitle(), QStringLiteral("BrasvikV6"));
            QCOMPARE(w->statusText(6), QString());
            QVERIFY(imageCommandsDisabled(*w));
            QVERIFY(!w->Viewer->VScrollBar->isEnabled());
            QCOMPARE(w->Image.ImageBuffer.size(), 0x100008); // the buffer is not touched
            QCOMPARE(w->Viewer->paintLines(THexViewer::DataColumn).value(0), QString(48, u' '));
            break;
        default:
            QCOMPARE(w->windowTitle(), QStringLiteral("BrasvikV6 - os.b86"));
            QCOMPARE(w->statusText(6), QStringLiteral("Operating system"));
            QVERIFY(imageCommandsEnabled(*w));
        }
    }

    void uploadCancelRestoresTheDeviceType()
    {
        auto w = windowWithImage();
        QVERIFY(w);
        ModalScript script(*w);
        script.then([&](QDialog &dlg) {
            // Both types are offered for an upload.
            auto &f = static_cast<TBKDeviceTypeForm &>(dlg);
            if (f.RBType46xx->isChecked() || !f.RBTypeCVBRD1_Zx->isEnabled())
                script.unexpected << "preselected";
            dlg.reject();
            return dlg.result();
        });
        w->ButtonUpload->trigger();
        QVERIFY(script.unexpected.isEmpty());
        QCOMPARE(DeviceType, DeviceKind::Device46xx);
        QCOMPARE(m_uploads, 0);

        // A type chosen and confirmed stays chosen when a later dialog is cancelled.
        ModalScript later(*w);
        later.ok("TBKDeviceTypeForm", "RBTypeCVBRD1_Zx").cancel("TBKChooseForm");
        w->ButtonUpload->trigger();
        QVERIFY(later.unexpected.isEmpty());
        QCOMPARE(DeviceType, DeviceKind::Board4610);
        QCOMPARE(m_uploads, 0);
    }

    void uploadOfRetainValues()
    {
        TBKMainForm w;
        Settings.UploadOpt6 = true;
        m_uploadResult = mrOk;
        m_uploadData = QByteArray(4096, 'R');
        ModalScript script(w);
        script.ok("TBKDeviceTypeForm", "RBType46xx").ok("TBKChooseForm", "RBRetain");
        w.ButtonUpload->trigger();
        QCOMPARE(w.windowTitle(), QStringLiteral("BrasvikV6 - Retain values (NV RAM).b86"));
        QCOMPARE(w.Image.ViewSize, 4096);
        QCOMPARE(w.Viewer->VScrollBar->maximum(), 255 * w.Viewer->LineHeight());
        // Sector jumps do nothing on retain values.
        QTest::keyClick(w.Viewer->VScrollBar, Qt::Key_Right);
        QCOMPARE(w.Viewer->topAddress(), 0);
    }

    void interfaceDialogOnlyFor46xxWithCan()
    {
        TBKMainForm w;
        Settings.CANEnabled = true;
        ModalScript script(w);
        script.ok("TBKDeviceTypeForm", "RBTypeCVBRD1_Zx").ok("TBKChooseForm");
        w.ButtonUpload->trigger();
        QCOMPARE(script.seen, (QStringList {"TBKDeviceTypeForm", "TBKChooseForm"}));
        ModalScript again(w);
        again.ok("TBKDeviceTypeForm", "RBType46xx").ok("TBKInterfaceForm", "RBCAN2");
        again.ok("TBKChooseForm");
        w.ButtonUpload->trigger();
        QVERIFY(again.unexpected.isEmpty());
        QCOMPARE(Settings.COMInterface, 2);
    }

    void compareChangesNothing()
    {
        TBKMainForm w;
        {
            ModalScript load(w);
            load.ok("TBKDeviceTypeForm", "RBType46xx");
            QVERIFY(w.LoadImageFile(writeFile("os.h86", ":02000004000AF0\n:0400100001020304E2\n")));
        }
        QCOMPARE(w.Image.DataEnd, 0xA0014);
        m_uploadResult = mrOk;
        ModalScript script(w);
        script.ok("TBKDeviceTypeForm");
        const QByteArray before = w.Image.ImageBuffer;
        w.ButtonCompare->trigger();
        QVERIFY(script.unexpected.isEmpty());
        QVERIFY(m_lastCompare);
        QVERIFY(w.Image.CompareMode);
        QCOMPARE(w.Image.UploadChoiceText, QStringLiteral("Operating system"));
        QCOMPARE(w.Image.EndSector, 14);
        QCOMPARE(w.windowTitle(), QStringLiteral("BrasvikV6 - os.h86"));
        QCOMPARE(w.statusText(6), QStringLiteral("Operating system"));
        QCOMPARE(w.Image.ImageBuffer, before);
    }

    void differencesListMarksTheViewer()
    {
        auto w = windowWithImage();
        QVERIFY(w);
        w->Viewer->resize(600, 300);
        const QByteArray image = w->Image.ImageBuffer;
        QByteArray device = image;
        for (qint32 at : {0x4000, 0x4002, 0x20011})
            device[at] = char(~device[at]);
        w->showDifferences({{0x4000, 0x4002, 2, 1}, {0x20011, 0x20011, 1, 5}}, 3,
                           {{0x4000, 0x4001}, {0x4002, 0x4003}, {0x20011, 0x20012}}, device);
        TDifferencesForm *list = w->differencesForm();
        QVERIFY(list);
        QVERIFY(list->isVisible());
        QVERIFY(!list->isModal());
        QCOMPARE(list->RangeList->topLevelItemCount(), 2);
        const QTreeWidgetItem *second = list->RangeList->topLevelItem(1);
        QCOMPARE(QStringList({second->text(0), second->text(1), second->text(2), second->text(3)}),
                 QStringList({"020011h", "020011h", "1", "5"}));
        QCOMPARE(w->Viewer->marks().size(), 3);

        // Choosing a range brings its line to the top, the differing byte marked.
        list->chooseRange(1);
        QCOMPARE(w->Viewer->topAddress(), 0x20010);
        const QString imageLine = w->Viewer->paintLines(THexViewer::DataColumn).at(0);
        THexViewer &viewer = *w->Viewer;
        QImage shot(viewer.DataBox->size(), QImage::Format_RGB32);
        viewer.DataBox->render(&shot);
        const int cell = qRound(QFontMetricsF(viewer.boxFont()).horizontalAdvance(u'0'));
        QCOMPARE(shot.pixelColor(THexViewer::TextX + 3 * cell + 1, 0), viewer.markBackground());
        QCOMPARE(shot.pixelColor(THexViewer::TextX + 1, 0), viewer.palette().color(QPalette::Base));

        // The device's bytes in place of the image's; the image stays as it is.
        list->DeviceBytesBox->setChecked(true);
        QCOMPARE(w->Viewer->paintLines(THexViewer::DataColumn).at(0).mid(3, 2),
                 QString::number(quint8(device[0x20011]), 16).rightJustified(2, u'0'));
        QCOMPARE(w->Image.ImageBuffer, image);

        // Closing the list clears the marks and shows the image again.
        list->CloseButton->click();
        QVERIFY(w->Viewer->marks().isEmpty());
        QCOMPARE(w->Viewer->paintLines(THexViewer::DataColumn).at(0), imageLine);
        QTRY_VERIFY(!w->differencesForm());

        // A new image closes a list still open.
        w->showDifferences({{0x10, 0x10, 1, 0}}, 1, {{0x10, 0x11}}, device);
        QVERIFY(w->differencesForm());
        ModalScript script(*w);
        QVERIFY(w->LoadImageFile(writeFile("other.b86", flashImage(0, 11))));
        QTRY_VERIFY(!w->differencesForm());
        QVERIFY(w->Viewer->marks().isEmpty());
    }

    void marksStayReadable_data()
    {
        QTest::addColumn<QColor>("highlight");
        QTest::addColumn<QColor>("highlightedText");
        QTest::addColumn<QColor>("expected");
        const QPalette app = QApplication::palette();
        QTest::newRow("default palette")
            << app.color(QPalette::Highlight) << app.color(QPalette::HighlightedText)
            << app.color(QPalette::Highlight);
        QTest::newRow("high contrast") << QColor(Qt::cyan) << QColor(Qt::black) << QColor(Qt::cyan);
        QTest::newRow("highlight without contrast")
            << QColor(200, 200, 200) << QColor(230, 230, 230) << QColor(160, 0, 0);
    }

    void marksStayReadable()
    {
        QFETCH(QColor, highlight);
        QFETCH(QColor, highlightedText);
        QFETCH(QColor, expected);
        THexViewer viewer;
        QPalette palette = viewer.palette();
        palette.setColor(QPalette::Highlight, highlight);
        palette.setColor(QPalette::HighlightedText, highlightedText);
        viewer.setPalette(palette);
        QCOMPARE(viewer.markBackground(), expected);
        QCOMPARE(viewer.markText(), expected == highlight ? highlightedText : QColor(Qt::white));
    }

    void configurationRefreshesTheStatusBar()
    {
        TBKMainForm w;
        ModalScript script(w);
        script.then([](QDialog &dlg) {
            auto *enable = dlg.findChild<QAbstractButton *>("CBCANEnable");
            enable->click();
            auto *port = dlg.findChild<QComboBox *>("CBCOMPort");
            port->setCurrentIndex(4);
            static_cast<TBKDialog &>(dlg).ButtonOKClick();
            return dlg.result();
        });
        w.ButtonInit->trigger();
        QCOMPARE(script.seen, QStringList {"TBKInitForm"});
        QCOMPARE(w.statusText(1), QStringLiteral("5"));
        QCOMPARE(w.statusText(3), QStringLiteral("PEAK-CAN-Dongle:"));
        QCOMPARE(w.statusText(4), QStringLiteral("500 kBit/s"));
        QCOMPARE(w.Serial.PortName(), COM5);

        // Disabling the dongle resets the interface even when the dialog is cancelled.
        Settings.COMInterface = 2;
        Settings.CANEnabled = false;
        ModalScript cancel(w);
        cancel.cancel("TBKInitForm");
        w.ButtonInit->trigger();
        QCOMPARE(Settings.COMInterface, 0);
        QCOMPARE(w.statusText(3), QString());
        QCOMPARE(w.statusText(4), QString());
    }

    void startupLoadsTheArgumentAndDownloads()
    {
        const QString path = writeFile("start.b86", flashImage(11, 17));
        TBKMainForm w({path});
        ModalScript script(w);
        script.then([&](QDialog &dlg) {
            auto &f = static_cast<TBKDeviceTypeForm &>(dlg);
            if (!f.RBType46xx->isChecked() || f.RBTypeCVBRD1_Zx->isEnabled())
                script.unexpected << "preselection";
            f.ButtonOKClick();
            return f.result();
        });
        QTRY_COMPARE(m_downloads, 1);
        QVERIFY(script.unexpected.isEmpty());
        QCOMPARE(w.windowTitle(), QStringLiteral("BrasvikV6 - start.b86"));
        QCOMPARE(w.statusText(6), QStringLiteral("CoDeSys PLC project completely"));
    }

    void startupWithABadFileOnlyReports()
    {
        TBKMainForm w({m_dir.filePath("absent.txt")});
        ModalScript script(w);
        script.message();
        QTRY_VERIFY(script.finished());
        QTest::qWait(20);
        QCOMPARE(m_downloads, 0);
        QCOMPARE(script.seen, QStringList {"QMessageBox"});
    }

    void arrowKeysJumpBetweenSectors()
    {
        auto w = windowWithImage();
        QVERIFY(w);
        w->Viewer->resize(600, 300);
        QScrollBar *bar = w->Viewer->VScrollBar;
        bar->setValue((0x12340 / 16) * w->Viewer->LineHeight());
        QTest::keyClick(bar, Qt::Key_Right);
        QCOMPARE(w->Viewer->topAddress(), 0x20000);
        QTest::keyClick(bar, Qt::Key_Left);
        QTest::keyClick(bar, Qt::Key_Left);
        QCOMPARE(w->Viewer->topAddress(), 0x8000);
        QTest::keyClick(bar, Qt::Key_Down);
        QCOMPARE(w->Viewer->topAddress(), 0x8010);
        QCOMPARE(w->Viewer->paintLines(THexViewer::AddrColumn).at(0), QStringLiteral("008010"));
        bar->setValue(bar->maximum());
        QTest::keyClick(bar, Qt::Key_Right);
        QCOMPARE(w->Viewer->topAddress(), 0xFFFF0);
    }

    void startupWaitsUntilTheWindowIsOnScreen()
    {
        const QString path = writeFile("start.h86", ":0400000001020304F2\n");
        TBKMainForm w({path});
        w.move(240, 160);
        bool onScreen = false;
        QPoint offCentre;
        ModalScript script(w);
        script.then([&](QDialog &dlg) {
            onScreen = w.windowHandle() && w.windowHandle()->isExposed();
            // Shown as exec() shows it, the dialog places itself over its owner.
            dlg.show();
            offCentre = dlg.frameGeometry().center() - w.frameGeometry().center();
            dlg.hide();
            auto &f = static_cast<TBKDeviceTypeForm &>(dlg);
            f.RBType46xx->click();
            f.ButtonOKClick();
            return f.result();
        });
        script.ok("TBKDeviceTypeForm").ok("TBKOptionsForm");
        w.show();
        QTRY_COMPARE(m_downloads, 1);
        QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        QVERIFY(onScreen);
        QVERIFY2(offCentre.manhattanLength() < 60,
                 qPrintable(QStringLiteral("%1, %2").arg(offCentre.x()).arg(offCentre.y())));
    }

    void focusReturnsToTheViewerAfterATransfer_data()
    {
        QTest::addColumn<QString>("command");
        QTest::newRow("download") << "download";
        QTest::newRow("upload") << "upload";
        QTest::newRow("compare") << "compare";
    }

    void focusReturnsToTheViewerAfterATransfer()
    {
        QFETCH(QString, command);
        auto w = windowWithImage();
        QVERIFY(w);
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        QScrollBar *bar = w->Viewer->VScrollBar;
        QTRY_COMPARE(QApplication::focusWidget(), bar);

        // A transfer window that takes the focus into its log, as the real ones do.
        bool transferHadFocus = false;
        const auto transferWindow = [&](TBKMainForm &owner) {
            QDialog window(&owner);
            auto *memo = new QPlainTextEdit(&window);
            QTimer::singleShot(0, &window, [&] {
                // A dialog shares its owner's activation; wait for the window itself.
                if (QTest::qWaitFor([&] { return QApplication::activeWindow() == &window; })) {
                    memo->setFocus();
                    transferHadFocus = QApplication::focusWidget() == memo;
                }
                window.done(mrAbort);
            });
            return window.exec();
        };
        TransferWindows::setDownload(transferWindow);
        TransferWindows::setUpload([&](TBKMainForm &owner, bool) { return transferWindow(owner); });

        ModalScript script(*w);
        if (command == "upload") {
            Settings.UploadOpt2 = true;
            script.ok("TBKDeviceTypeForm", "RBType46xx").ok("TBKChooseForm", "RBParameter");
            w->ButtonUpload->trigger();
        } else {
            script.ok("TBKDeviceTypeForm");
            (command == "download" ? w->ButtonDownload : w->ButtonCompare)->trigger();
        }
        QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        QVERIFY(transferHadFocus);
        QTRY_COMPARE(QApplication::focusWidget(), bar);
        QCOMPARE(QGuiApplication::focusWindow(), w->windowHandle());
        // Keys reach the window that has the focus: arrows and Home work at once.
        QTest::keyClick(QGuiApplication::focusWindow(), Qt::Key_Right);
        QCOMPARE(w->Viewer->topAddress(), 0x4000);
        QTest::keyClick(QGuiApplication::focusWindow(), Qt::Key_Down);
        QCOMPARE(w->Viewer->topAddress(), 0x4010);
        QTest::keyClick(QGuiApplication::focusWindow(), Qt::Key_Home);
        QCOMPARE(w->Viewer->topAddress(), 0);
    }

    void sectorJumpIgnoresShiftAndCtrl_data()
    {
        QTest::addColumn<int>("modifiers");
        QTest::newRow("none") << int(Qt::NoModifier);
        QTest::newRow("shift") << int(Qt::ShiftModifier);
        QTest::newRow("ctrl") << int(Qt::ControlModifier);
        QTest::newRow("shift+ctrl") << int(Qt::ShiftModifier | Qt::ControlModifier);
        QTest::newRow("keypad") << int(Qt::KeypadModifier);
    }

    void sectorJumpIgnoresShiftAndCtrl()
    {
        QFETCH(int, modifiers);
        const auto mods = Qt::KeyboardModifiers(modifiers);
        auto w = windowWithImage();
        QVERIFY(w);
        w->Viewer->resize(600, 300);
        QScrollBar *bar = w->Viewer->VScrollBar;
        bar->setValue((0x12340 / 16) * w->Viewer->LineHeight());
        QTest::keyClick(bar, Qt::Key_Right, mods);
        QCOMPARE(w->Viewer->topAddress(), 0x20000);
        QTest::keyClick(bar, Qt::Key_Left, mods);
        QCOMPARE(w->Viewer->topAddress(), 0x10000);
    }

    void wheelScrollsOverEveryColumn_data()
    {
        QTest::addColumn<QString>("under");
        QTest::newRow("addresses") << "AddrBox";
        QTest::newRow("data") << "DataBox";
        QTest::newRow("characters") << "ASCIIBox";
        QTest::newRow("scroll bar") << "VScrollBar";
    }

    void wheelScrollsOverEveryColumn()
    {
        QFETCH(QString, under);
        auto w = windowWithImage();
        QVERIFY(w);
        // Shown, so the page step (the most one notch may move) is that of a real view.
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        auto *target = w->Viewer->findChild<QWidget *>(under);
        QVERIFY(target);
        const auto turn = [target](int delta) {
            const QPointF pos(target->width() / 2.0, target->height() / 2.0);
            QWheelEvent wheel(pos, target->mapToGlobal(pos), QPoint(), QPoint(0, delta),
                              Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(target, &wheel);
        };
        const int lines = QApplication::wheelScrollLines();
        turn(-120);
        QCOMPARE(w->Viewer->topAddress(), lines * 16);
        turn(-240);
        QCOMPARE(w->Viewer->topAddress(), 3 * lines * 16);
        turn(360);
        QCOMPARE(w->Viewer->topAddress(), 0);
    }

    void viewerEndsWithBlankLines()
    {
        auto w = windowWithImage(QByteArray(4096, '\0'), "nv.b86");
        QVERIFY(w);
        QCOMPARE(w->statusText(6), QStringLiteral("Retain values (NV RAM)"));
        w->resize(800, 600);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        const int lh = w->Viewer->LineHeight();
        const int height = w->Viewer->AddrPanel->contentsRect().height();
        QCOMPARE(w->Viewer->VScrollBar->pageStep(), (height / lh) * lh);
        w->Viewer->VScrollBar->setValue(w->Viewer->VScrollBar->maximum());
        const QStringList addr = w->Viewer->paintLines(THexViewer::AddrColumn);
        const QStringList data = w->Viewer->paintLines(THexViewer::DataColumn);
        const QStringList ascii = w->Viewer->paintLines(THexViewer::AsciiColumn);
        QVERIFY(addr.size() > 2);
        QCOMPARE(addr.at(0), QStringLiteral("000ff0"));
        QCOMPARE(data.at(0), QStringLiteral("00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
        QCOMPARE(ascii.at(0), QString(16, u' '));
        QCOMPARE(addr.at(1), QString(6, u' '));
        QCOMPARE(data.at(1), QString(48, u' '));
        QCOMPARE(data.constLast(), QString(48, u' '));
    }

    void saveAsB86()
    {
        auto w = windowWithImage(flashImage(11, 17), "plc.b86");
        QVERIFY(w);
        const QString target = m_dir.filePath("copy.b86");
        ModalScript script(*w);
        script.then([&](QDialog &dlg) {
            auto &fd = static_cast<QFileDialog &>(dlg);
            // No signature test passes for a PLC image: B86 only.
            if (fd.nameFilters().size() != 1 || fd.windowTitle() != "Save as...")
                script.unexpected << fd.nameFilters().join(";");
            fd.selectFile(target);
            return int(QDialog::Accepted);
        });
        w->ButtonSaveFile->trigger();
        QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        QFile f(target);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), w->Image.ImageBuffer);
        QCOMPARE(w->windowTitle(), QStringLiteral("BrasvikV6 - copy.b86"));
        QCOMPARE(w->Image.FileName, target);
    }

    void operatingSystemImageOffersR86()
    {
        QByteArray data = flashImage(0, 11);
        data[0x200] = char(0x55);
        data[0x201] = char(0x55);
        auto w = windowWithImage(data);
        QVERIFY(w);
        for (const QString &name : {QStringLiteral("os.bin"), QStringLiteral("os.r86")}) {
            ModalScript script(*w);
            script.then([&](QDialog &dlg) {
                auto &fd = static_cast<QFileDialog &>(dlg);
                if (fd.nameFilters().size() != 2)
                    script.unexpected << fd.nameFilters().join(";");
                // A name typed without an extension follows the chosen file type.
                emit fd.filterSelected(fd.nameFilters().constLast());
                if (fd.defaultSuffix() != QLatin1String("r86"))
                    script.unexpected << fd.defaultSuffix();
                fd.selectFile(m_dir.filePath(name));
                return int(QDialog::Accepted);
            });
            w->ButtonSaveFile->trigger();
            QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        }
        // Another extension writes nothing; an R86 file leaves name and caption alone.
        QVERIFY(!QFile::exists(m_dir.filePath("os.bin")));
        QFile r86(m_dir.filePath("os.r86"));
        QVERIFY(r86.open(QIODevice::ReadOnly));
        QCOMPARE(r86.size(), 50 + 0x80000);
        QVERIFY(r86.read(9) == "File-ID: ");
        QCOMPARE(w->windowTitle(), QStringLiteral("BrasvikV6 - os.b86"));
    }

    void saveFailureKeepsTheCaption()
    {
        auto w = windowWithImage();
        QVERIFY(w);
        ModalScript script(*w);
        script.then([&](QDialog &dlg) {
            static_cast<QFileDialog &>(dlg).selectFile(m_dir.filePath("no/such/dir/x.b86"));
            return int(QDialog::Accepted);
        });
        script.message();
        w->ButtonSaveFile->trigger();
        QCOMPARE(script.messages.size(), 1);
        QVERIFY(script.messages.at(0).startsWith("Brasvik|error|"));
        QCOMPARE(w->windowTitle(), QStringLiteral("BrasvikV6 - os.b86"));
    }

    void settingsSurviveARestart()
    {
        {
            TBKMainForm w;
            Settings.UploadOpt4 = true;
            Settings.brCVBRDx = 8;
            w.Serial.SetPortName(COM7);
            w.Serial.SetBaudrate(br115200);
        }
        Settings = TSettings();
        TBKMainForm w;
        QVERIFY(Settings.UploadOpt4);
        QCOMPARE(Settings.brCVBRDx, quint8(8));
        QCOMPARE(w.Serial.PortName(), COM7);
        QCOMPARE(w.statusText(1), QStringLiteral("7"));
        QCOMPARE(w.statusText(2), QStringLiteral("115200 bit/s"));
    }

    void storedGeometryIsUsed()
    {
        {
            QSettings s(m_settings->iniFile(), QSettings::IniFormat);
            s.setValue("Left", "10");
            s.setValue("Top", "20");
            s.setValue("Width", "700");
            s.setValue("Height", "500");
        }
        TBKMainForm w;
        QCOMPARE(w.pos(), QPoint(10, 20));
        QCOMPARE(w.size(), QSize(700, 500));
        QVERIFY(!(w.windowState() & Qt::WindowMaximized));
    }

    void offScreenGeometryIsIgnored()
    {
        {
            QSettings s(m_settings->iniFile(), QSettings::IniFormat);
            s.setValue("Left", "-50000");
            s.setValue("Top", "-50000");
            s.setValue("Width", "800");
            s.setValue("Height", "600");
            s.setValue("State", "2");
        }
        TBKMainForm w;
        QVERIFY(w.x() > -1000 && w.y() > -1000);
        QVERIFY(w.windowState() & Qt::WindowMaximized);
    }
};

QTEST_MAIN(tst_MainWindow)
#include "tst_MainWindow.moc"
