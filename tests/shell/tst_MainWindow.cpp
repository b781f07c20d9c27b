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
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
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
    // The address of the last whole line in view once the viewer is scrolled to its end.
    static QString lastPageEnd(THexViewer &viewer)
    {
        viewer.VScrollBar->setValue(viewer.VScrollBar->maximum());
        const int whole = viewer.AddrPanel->contentsRect().height() / viewer.LineHeight();
        const QString last = viewer.paintLines(THexViewer::AddrColumn).value(whole - 1);
        viewer.VScrollBar->setValue(0);
        return last;
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
        // The first command a newcomer needs is drawn in colour: a grey one reads as disabled.
        const QImage open = w.ButtonOpenFile->icon().pixmap(32).toImage();
        int coloured = 0;
        for (int y = 0; y < open.height(); ++y) {
            for (int x = 0; x < open.width(); ++x) {
                const QColor c = open.pixelColor(x, y);
                coloured += c.alpha() > 128 && c.hsvSaturation() > 100;
            }
        }
        QVERIFY2(coloured > 100, qPrintable(QString::number(coloured)));
        QVERIFY(w.ButtonUpload->isEnabled());
        QVERIFY(w.ButtonInit->isEnabled());
        QVERIFY(w.ButtonInfo->isEnabled());
        QCOMPARE(w.ButtonCompare->toolTip(),
                 QStringLiteral("Upload and compare... (Ctrl+Shift+U)"));
        QCOMPARE(w.ButtonInit->toolTip(), QStringLiteral("Init COM/Options... (Ctrl+,)"));
        const QStringList panels {"COM:", "1", "57600 bit/s", "", "", "Content:", "", ""};
        for (int i = 0; i < 8; ++i)
            QCOMPARE(w.statusText(i), panels.at(i));
        // The longest content an upload can bring fits its panel.
        const QLabel *content = w.StatusPanels[6];
        QVERIFY(content->contentsRect().width() - 2 * content->margin()
                >= content->fontMetrics().horizontalAdvance(
                    QStringLiteral("FLASH memory completely (without NV RAM)")));
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
        QCOMPARE(lastPageEnd(*w->Viewer), QStringLiteral("0ffff0"));
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
        // Suggested: the 46xx devices for a first image, then the type used last.
        QStringList suggested;
        const auto suggestion = [&](QDialog &dlg) {
            auto &f = static_cast<TBKDeviceTypeForm &>(dlg);
            suggested << (f.RBType46xx->isChecked()            ? "46xx"
                              : f.RBTypeCVBRD1_Zx->isChecked() ? "board"
                                                               : "");
            f.RBTypeCVBRD1_Zx->click();
            f.ButtonOKClick();
            return f.result();
        };
        ModalScript script(w);
        script.then(suggestion).then(suggestion);
        QVERIFY(w.LoadImageFile(path));
        QVERIFY(w.LoadImageFile(path));
        QCOMPARE(suggested, QStringList({"46xx", "board"}));
        QCOMPARE(script.seen, QStringList({"TBKDeviceTypeForm", "TBKDeviceTypeForm"}));
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
        QTest::addColumn<bool>("uploadedBefore"); // the image shown is an unsaved upload
        QTest::newRow("data read") << int(mrOk) << false;
        QTest::newRow("ended without data") << int(mrCancel) << false;
        QTest::newRow("aborted") << int(mrAbort) << false;
        QTest::newRow("broken after an unsaved upload") << int(mrCancel) << true;
    }

    void uploadResults()
    {
        QFETCH(int, result);
        QFETCH(bool, uploadedBefore);
        auto w = windowWithImage();
        QVERIFY(w);
        Settings.UploadOpt2 = true;
        Settings.UploadOpt1 = true;
        if (uploadedBefore) {
            m_uploadResult = mrOk;
            m_uploadData = flashImage(0, 11);
            ModalScript first(*w);
            first.ok("TBKDeviceTypeForm", "RBType46xx").ok("TBKChooseForm", "RBOS");
            w->ButtonUpload->trigger();
            QVERIFY2(first.unexpected.isEmpty(), qPrintable(first.unexpected.join(", ")));
        }
        const QString title = w->windowTitle();
        const ImageState before = w->Image;
        m_uploadResult = result;
        m_uploadData = flashImage(17, 19);
        ModalScript script(*w);
        // A failing reading is of another device type and region than the image shown.
        if (result == mrOk)
            script.ok("TBKDeviceTypeForm", "RBType46xx").ok("TBKChooseForm", "RBParameter");
        else
            script.ok("TBKDeviceTypeForm", "RBTypeCVBRD1_Zx").ok("TBKChooseForm", "RBFlash");
        w->ButtonUpload->trigger();
        QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        QVERIFY(!m_lastCompare);
        if (result == mrOk) {
            QCOMPARE(w->windowTitle(),
                     QStringLiteral("BrasvikV6 - Curve and system parameters.b86"));
            QCOMPARE(w->statusText(6), QStringLiteral("Curve and system parameters"));
            QVERIFY(imageCommandsEnabled(*w));
            QVERIFY(w->Image.BinaryImage);
            QCOMPARE(w->Image.FirstSector, 17);
            QCOMPARE(w->Image.EndSector, 19);
            QCOMPARE(w->Image.DataEnd, 0x100000);
            QVERIFY(w->Viewer->VScrollBar->isEnabled());
            return;
        }
        // A reading that brought no data leaves the image, its sectors and its type as they were.
        QCOMPARE(w->windowTitle(), title);
        QCOMPARE(w->statusText(6), QStringLiteral("Operating system"));
        QVERIFY(imageCommandsEnabled(*w));
        QVERIFY(w->Viewer->VScrollBar->isEnabled());
        QCOMPARE(w->Image.ImageBuffer, before.ImageBuffer);
        QCOMPARE(w->Image.FileName, before.FileName);
        QCOMPARE(w->Image.FirstSector, before.FirstSector);
        QCOMPARE(w->Image.EndSector, before.EndSector);
        QCOMPARE(w->Image.UploadChoiceText, before.UploadChoiceText);
        QCOMPARE(DeviceType, DeviceKind::Device46xx);
    }

    void keysReachTheCommands_data()
    {
        QTest::addColumn<QKeySequence>("key");
        QTest::addColumn<QString>("dialog"); // the first dialog the command opens
        QTest::newRow("open") << QKeySequence(Qt::CTRL | Qt::Key_O) << "QFileDialog";
        QTest::newRow("save") << QKeySequence(Qt::CTRL | Qt::Key_S) << "QFileDialog";
        QTest::newRow("download") << QKeySequence(Qt::CTRL | Qt::Key_D) << "TBKDeviceTypeForm";
        QTest::newRow("upload") << QKeySequence(Qt::CTRL | Qt::Key_U) << "TBKDeviceTypeForm";
        QTest::newRow("compare") << QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_U)
                                 << "TBKDeviceTypeForm";
        QTest::newRow("options") << QKeySequence(Qt::CTRL | Qt::Key_Comma) << "TBKInitForm";
        QTest::newRow("info") << QKeySequence(Qt::Key_F1) << "TVerInfoForm";
        QTest::newRow("quit") << QKeySequence(Qt::CTRL | Qt::Key_Q) << "";
    }

    void keysReachTheCommands()
    {
        QFETCH(QKeySequence, key);
        QFETCH(QString, dialog);
        auto w = windowWithImage();
        QVERIFY(w);
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        // The key is named in the tool tip of its command.
        const QString keyText = key.toString(QKeySequence::NativeText);
        const QList<QAction *> actions = w->findChildren<QAction *>();
        const auto action = std::find_if(actions.cbegin(), actions.cend(),
                                         [&](const QAction *a) { return a->shortcut() == key; });
        QVERIFY(action != actions.cend());
        if (dialog.isEmpty()) {
            QTest::keySequence(w.get(), key);
            QVERIFY(!w->isVisible());
            return;
        }
        QVERIFY2((*action)->toolTip().endsWith(QStringLiteral(" (%1)").arg(keyText)),
                 qPrintable((*action)->toolTip()));
        ModalScript script(*w);
        script.cancel(qPrintable(dialog));
        QTest::keySequence(w->Viewer, key); // from the viewer, where the focus sits
        QCOMPARE(script.seen.value(0), dialog);
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
        QCOMPARE(lastPageEnd(*w.Viewer), QStringLiteral("000ff0"));
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
        for (qint32 at : {0x4000, 0x4002, 0x4010, 0x20011})
            device[at] = char(~device[at]);
        w->showDifferences(
            {{0x4000, 0x4002, 2, 1}, {0x4010, 0x4010, 1, 1}, {0x20011, 0x20011, 1, 5}}, 4,
            {{0x4000, 0x4001}, {0x4002, 0x4003}, {0x4010, 0x4011}, {0x20011, 0x20012}}, device);
        TDifferencesForm *list = w->differencesForm();
        QVERIFY(list);
        QVERIFY(list->isVisible());
        QVERIFY(!list->isModal());
        QCOMPARE(list->SummaryLabel->text(), QStringLiteral("4 bytes differ in 3 ranges"));
        QCOMPARE(list->RangeList->topLevelItemCount(), 3);
        const QTreeWidgetItem *last = list->RangeList->topLevelItem(2);
        QCOMPARE(QStringList({last->text(0), last->text(1), last->text(2), last->text(3)}),
                 QStringList({"020011h", "020011h", "1", "5"}));
        QCOMPARE(w->Viewer->marks().size(), 4);

        // Choosing a range brings its line to the top; its bytes stand out from the other
        // marks, and no mark looks like a selection.
        list->chooseRange(0);
        QCOMPARE(w->Viewer->topAddress(), 0x4000);
        THexViewer &viewer = *w->Viewer;
        QImage shot(viewer.DataBox->size(), QImage::Format_RGB32);
        viewer.DataBox->render(&shot);
        const int cell = qRound(QFontMetricsF(viewer.boxFont()).horizontalAdvance(u'0'));
        const int lh = viewer.LineHeight();
        const QColor chosen = shot.pixelColor(THexViewer::TextX + 1, 0);
        const QColor other = shot.pixelColor(THexViewer::TextX + 1, lh);
        QCOMPARE(chosen, THexViewer::markBackground(true));
        QCOMPARE(shot.pixelColor(THexViewer::TextX + 6 * cell + 1, 0), chosen);
        QCOMPARE(other, THexViewer::markBackground(false));
        QVERIFY(chosen != other);
        for (const QColor &mark : {chosen, other})
            QVERIFY(mark != viewer.palette().color(QPalette::Highlight));
        QCOMPARE(shot.pixelColor(THexViewer::TextX + 3 * cell + 1, 0),
                 viewer.palette().color(QPalette::Base));

        list->chooseRange(2);
        QCOMPARE(w->Viewer->topAddress(), 0x20010);
        const QString imageLine = w->Viewer->paintLines(THexViewer::DataColumn).at(0);

        // The device's bytes in place of the image's, and the main window says so; the image
        // stays as it is.
        QVERIFY(viewer.ShownBytesNotice->isHidden());
        list->DeviceBytesBox->setChecked(true);
        QCOMPARE(w->Viewer->paintLines(THexViewer::DataColumn).at(0).mid(3, 2),
                 QString::number(quint8(device[0x20011]), 16).rightJustified(2, u'0'));
        QVERIFY(!viewer.ShownBytesNotice->isHidden());
        QVERIFY(viewer.ShownBytesNotice->text().contains(QLatin1String("device's bytes")));
        QCOMPARE(w->Image.ImageBuffer, image);

        // Closing the list clears the marks and shows the image again.
        list->CloseButton->click();
        QVERIFY(w->Viewer->marks().isEmpty());
        QVERIFY(viewer.ShownBytesNotice->isHidden());
        QCOMPARE(w->Viewer->paintLines(THexViewer::DataColumn).at(0), imageLine);
        QTRY_VERIFY(!w->differencesForm());

        // A new image closes a list still open.
        w->showDifferences({{0x10, 0x10, 1, 0}}, 1, {{0x10, 0x11}}, device);
        QVERIFY(w->differencesForm());
        QCOMPARE(w->differencesForm()->SummaryLabel->text(),
                 QStringLiteral("1 byte differs in 1 range"));
        ModalScript script(*w);
        QVERIFY(w->LoadImageFile(writeFile("other.b86", flashImage(0, 11))));
        QTRY_VERIFY(!w->differencesForm());
        QVERIFY(w->Viewer->marks().isEmpty());
    }

    void differencesListLeavesTheBytesInView_data()
    {
        QTest::addColumn<QRect>("bytes");
        QTest::addColumn<QPoint>("expected");
        const QRect screen(0, 0, 1920, 1080);
        QTest::newRow("room on the right") << QRect(100, 100, 600, 400) << QPoint(708, 100);
        QTest::newRow("room on the left") << QRect(1300, 100, 600, 400) << QPoint(932, 100);
        QTest::newRow("kept on the screen vertically")
            << QRect(100, 800, 600, 270) << QPoint(708, 660);
        QTest::newRow("only below") << QRect(0, 0, 1800, 500) << QPoint(0, 508);
        QTest::newRow("only above") << QRect(0, 500, 1800, 580) << QPoint(0, 72);
        QTest::newRow("no room: the corner") << QRect(0, 0, 1920, 1080) << QPoint(1560, 0);
    }

    // The list opens beside the bytes it points at (one window of 360 x 420 on a 1920 x 1080
    // screen), not over them.
    void differencesListLeavesTheBytesInView()
    {
        QFETCH(QRect, bytes);
        QFETCH(QPoint, expected);
        const QSize frame(360, 420);
        const QRect screen(0, 0, 1920, 1080);
        const QPoint at = TDifferencesForm::placement(bytes, frame, screen);
        QCOMPARE(at, expected);
        QVERIFY(screen.contains(QRect(at, frame)));
        if (!bytes.contains(screen))
            QVERIFY(!QRect(at, frame).intersects(bytes));
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

    void startupSaysWhenNoDeviceTypeWasChosen()
    {
        TBKMainForm w({writeFile("start.h86", ":0400100001020304E2\n")});
        ModalScript script(w);
        script.cancel("TBKDeviceTypeForm").message();
        QTRY_VERIFY(script.finished());
        QCOMPARE(script.messages,
                 QStringList {"Brasvik|info|start.h86 was not loaded: no device type was chosen "
                              "for it."});
        QCOMPARE(m_downloads, 0);
        QCOMPARE(w.windowTitle(), QStringLiteral("BrasvikV6"));
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
        // From the last sector Right goes to the end: the last page.
        bar->setValue((0xF0000 / 16) * w->Viewer->LineHeight());
        QTest::keyClick(bar, Qt::Key_Right);
        QCOMPARE(bar->value(), bar->maximum());
        QCOMPARE(lastPageEnd(*w->Viewer), QStringLiteral("0ffff0"));
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
        // The type just chosen for the image is not asked again for its download.
        script.ok("TBKOptionsForm");
        w.show();
        QTRY_COMPARE(m_downloads, 1);
        QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        QCOMPARE(script.seen, QStringList({"TBKDeviceTypeForm", "TBKOptionsForm"}));
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

    void lastPageIsFull_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::newRow("End") << "End";
        QTest::newRow("Ctrl+End") << "Ctrl+End";
        QTest::newRow("End, Page Up, Page Down") << "End,PgUp,PgDown";
        QTest::newRow("Page Down past the end") << "PgDown,PgDown,PgDown";
    }

    // The end of the image fills the last page: its last line at the bottom, whatever key led
    // there, never alone at the top of an empty view.
    void lastPageIsFull()
    {
        QFETCH(QString, keys);
        auto w = windowWithImage();
        QVERIFY(w);
        w->resize(800, 600);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        THexViewer &viewer = *w->Viewer;
        const int lh = viewer.LineHeight();
        const int whole = viewer.AddrPanel->contentsRect().height() / lh;
        QVERIFY(whole > 2);
        QCOMPARE(viewer.VScrollBar->pageStep(), whole * lh);
        if (keys.startsWith(QLatin1String("PgDown")))
            viewer.VScrollBar->setValue(((0x100000 - 16 * whole - 32) / 16) * lh);
        for (const QString &key : keys.split(u',')) {
            const int code = key.endsWith(QLatin1String("End")) ? Qt::Key_End
                : key == QLatin1String("PgUp")                  ? Qt::Key_PageUp
                                                                : Qt::Key_PageDown;
            QTest::keyClick(viewer.VScrollBar, Qt::Key(code),
                            key.startsWith(QLatin1String("Ctrl")) ? Qt::ControlModifier
                                                                  : Qt::NoModifier);
        }
        const QStringList addr = viewer.paintLines(THexViewer::AddrColumn);
        QCOMPARE(addr.at(0), HexLayout::addressText(0x100000 - 16 * whole));
        QCOMPARE(addr.at(whole - 1), QStringLiteral("0ffff0"));
        // Below the last line, only the blank rest of a line.
        for (int i = whole; i < addr.size(); ++i)
            QCOMPARE(addr.at(i), QString(6, u' '));
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

    void saveAsOffersAFullName_data()
    {
        QTest::addColumn<QString>("before"); // what was done before the Save
        QTest::addColumn<QString>("name");
        QTest::newRow("upload after an open")
            << "load,upload" << "Curve and system parameters.b86";
        QTest::newRow("upload first thing") << "upload" << "Curve and system parameters.b86";
    }

    // The first Save as of an upload offers its name in a real folder: the one used last, or the
    // home folder, never one relative to the program's working folder.
    void saveAsOffersAFullName()
    {
        QFETCH(QString, before);
        QFETCH(QString, name);
        TBKMainForm w;
        const QStringList steps = before.split(u',');
        if (steps.contains("load")) {
            ModalScript script(w);
            QVERIFY(w.LoadImageFile(writeFile("os.b86", flashImage(0, 11))));
        }
        if (steps.contains("upload")) {
            Settings.UploadOpt2 = true;
            m_uploadResult = mrOk;
            m_uploadData = flashImage(17, 19);
            ModalScript script(w);
            script.ok("TBKDeviceTypeForm", "RBType46xx").ok("TBKChooseForm", "RBParameter");
            w.ButtonUpload->trigger();
            QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        }
        const QString folder
            = steps.contains("load") ? QDir(m_dir.path()).absolutePath() : QDir::homePath();
        QString offered;
        QString directory;
        ModalScript script(w);
        script.then([&](QDialog &dlg) {
            auto &fd = static_cast<QFileDialog &>(dlg);
            directory = fd.directory().absolutePath();
            offered = fd.selectedFiles().value(0);
            return int(QDialog::Rejected);
        });
        w.ButtonSaveFile->trigger();
        QCOMPARE(directory, folder);
        QCOMPARE(offered, QDir(folder).filePath(name));
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
