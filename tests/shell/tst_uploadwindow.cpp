#include "ModalScript.h"
#include "base/SettingsStore.h"
#include "shell/BrasvikMain.h"
#include "shell/BrasvikUpload.h"
#include "shell/DifferencesForm.h"
#include "shell/HexViewer.h"
#include "shell/TransferWindows.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"
#include "transfer/ServiceRecord.h"
#include "transfer/TargetFiles.h"
#include "upload/UploadTransfer.h"

#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

namespace {

QByteArray pattern(qsizetype size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + (i >> 10) + seed) & 0xFF);
    return bytes;
}

bool imageCommandsEnabled(const TBKMainForm &w)
{
    return w.ButtonSaveFile->isEnabled() && w.ButtonDownload->isEnabled()
        && w.ButtonCompare->isEnabled();
}

} // namespace

// The upload window, offscreen, opened by the main window's Upload and Compare commands and
// run against the simulated device; message boxes are answered as a user would.
class TestUploadWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void uploadReplacesTheImage();
    void unansweredUploadKeepsTheImage_data();
    void unansweredUploadKeepsTheImage();
    void abortedUploadLeavesTheImage_data();
    void abortedUploadLeavesTheImage();
    void compareLeavesTheImage_data();
    void compareLeavesTheImage();
    void userBreakClosesEverything();
    void closedMidTransfer();
    void escapeLeavesTheReadingRunning();

private:
    std::unique_ptr<TBKMainForm> mainWindow(const QString &serialPath);
    bool loadB86(TBKMainForm &w, const QByteArray &data);

    TempSettings m_settings;
    QTemporaryDir m_files;
    QTimer m_user;
    // "title|info, warning or error|text", "|Show differences" when offered
    QStringList m_boxes;
    bool m_titleFits = false; // the last window was wide enough for its whole title
    bool m_confirmPrompt = true;
    bool m_showDifferences = false; // click "Show differences" where it is offered
    bool m_openAfterReport = false; // the window stayed open after its report
    std::function<void(TBKUploadForm &)> m_whileRunning;
};

void TestUploadWindow::initTestCase()
{
    // Register the window as the program does.
    TransferWindows::setUpload([this](TBKMainForm &owner, bool) {
        TBKUploadForm form(&owner, owner.Serial, owner.Image, DeviceType, Settings);
        // Room for the whole title besides the frame's icon and close box; nothing to maximize.
        m_titleFits = form.width() >= form.fontMetrics().horizontalAdvance(form.windowTitle()) + 100
            && !form.windowFlags().testFlag(Qt::WindowMaximizeButtonHint);
        QTimer poke;
        poke.setInterval(20);
        connect(&poke, &QTimer::timeout, &form, [&] {
            if (m_whileRunning)
                m_whileRunning(form);
        });
        poke.start();
        return form.exec();
    });
    m_user.setInterval(10);
    connect(&m_user, &QTimer::timeout, this, [this] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!box || !box->isVisible())
                continue;
            m_boxes << QStringLiteral("%1|%2|%3")
                           .arg(box->windowTitle(),
                                box->icon() == QMessageBox::Critical ? QStringLiteral("error")
                                    : box->icon() == QMessageBox::Warning
                                    ? QStringLiteral("warning")
                                    : QStringLiteral("info"),
                                box->text());
            QAbstractButton *show = nullptr;
            for (QAbstractButton *button : box->buttons()) {
                if (button->text() == QLatin1String("Show differences"))
                    show = button;
            }
            if (show)
                m_boxes.last() += QStringLiteral("|Show differences");
            const bool prompt = box->objectName() == QLatin1String("BootPrompt");
            if (box->objectName() == QLatin1String("StopPrompt"))
                box->button(QMessageBox::Yes)->click();
            else if (show && m_showDifferences)
                show->click();
            else
                box->button(prompt && !m_confirmPrompt ? QMessageBox::Cancel : QMessageBox::Ok)
                    ->click();
            return;
        }
        // The report read, the window waits with its log for the user to close it.
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *form = qobject_cast<TBKUploadForm *>(w);
            if (form && form->ButtonClose->isVisible()) {
                m_openAfterReport = form->isVisible();
                form->ButtonClose->click();
                return;
            }
        }
    });
}

void TestUploadWindow::init()
{
    m_boxes.clear();
    m_confirmPrompt = true;
    m_showDifferences = false;
    m_openAfterReport = false;
    m_whileRunning = nullptr;
    TargetFiles::setDirectory(SimDevice::h86Directory());
    m_user.start();
}

void TestUploadWindow::cleanup()
{
    m_user.stop();
    TargetFiles::setDirectory(QString());
    SettingsStore::clearOverrides();
}

std::unique_ptr<TBKMainForm> TestUploadWindow::mainWindow(const QString &serialPath)
{
    SettingsStore::overrideComPortDevicePath(0, serialPath);
    auto w = std::make_unique<TBKMainForm>();
    Settings.UploadOpt2 = true;
    return w;
}

bool TestUploadWindow::loadB86(TBKMainForm &w, const QByteArray &data)
{
    const QString path = m_files.filePath(QStringLiteral("loaded.b86"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
        return false;
    f.close();
    return w.LoadImageFile(path);
}

void TestUploadWindow::uploadReplacesTheImage()
{
    SimDeviceOptions options;
    options.initialMemory = pattern(0x100000, 1) + pattern(4096, 2);
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    auto w = mainWindow(sim.serialPath());
    ModalScript script(*w);
    script.ok("TBKDeviceTypeForm", "RBType46xx").ok("TBKChooseForm", "RBParameter");
    w->ButtonUploadClick();
    QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(u',')));

    QCOMPARE(m_boxes.size(), 2);
    QVERIFY(m_boxes.last().startsWith(
        QStringLiteral("Brasvik|info|Flash reading successful:\n\n131072 bytes have been read")));
    QVERIFY(m_openAfterReport); // the log stays readable until the window is closed
    QCOMPARE(w->windowTitle(), QStringLiteral("BrasvikV6 - Curve and system parameters.b86"));
    QCOMPARE(w->statusText(6), QStringLiteral("Curve and system parameters"));
    QVERIFY(imageCommandsEnabled(*w));
    QCOMPARE(w->Image.ImageBuffer.size(), 0x100008);
    QCOMPARE(w->Image.ImageBuffer.mid(0xE0000, 0x20000), sim.flash().mid(0xE0000, 0x20000));
    QCOMPARE(w->Image.FirstSector, 17);
    QCOMPARE(w->Image.EndSector, 19);
    QCOMPARE(w->Image.DataEnd, 0x100000);
    QVERIFY(w->Image.BinaryImage);
    QVERIFY(!w->Serial.Active());
    QVERIFY(!w->Serial.OnRxChar);
}

void TestUploadWindow::unansweredUploadKeepsTheImage_data()
{
    QTest::addColumn<QString>("silentFrom");
    QTest::addColumn<QString>("hint");
    QTest::newRow("boot byte")
        << "id"
        << "No answer to the boot byte: the device did not send its target ID.\n"
           "Check the cable and the port, and put the device into its boot mode "
           "(boot switch, then reset).";
    QTest::newRow("third block")
        << "block:3"
        << "No answer while reading at address 0E0200h (sector 17): the device stopped sending "
           "after 512 of 131072 bytes.\nCheck the cable and the port, put the device into its "
           "boot mode again and repeat the reading; a reading changes nothing on the device.";
}

// A device that falls silent gets the report and, below it, where and what to check.
void TestUploadWindow::unansweredUploadKeepsTheImage()
{
    QFETCH(QString, silentFrom);
    SimDeviceOptions options;
    options.extraArguments = {QStringLiteral("--silent-from"), silentFrom};
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    auto w = mainWindow(sim.serialPath());
    QVERIFY(loadB86(*w, pattern(0x100000, 3)));
    const QByteArray before = w->Image.ImageBuffer;
    const QString caption = w->windowTitle();
    const QString content = w->statusText(6);
    ModalScript script(*w);
    script.ok("TBKDeviceTypeForm", "RBType46xx").ok("TBKChooseForm", "RBParameter");
    w->ButtonUploadClick();

    QFETCH(QString, hint);
    QCOMPARE(m_boxes.last(),
             QStringLiteral("Brasvik|warning|Flash reading aborted:\n\nTIMEOUT\n\n") + hint);
    // Only a successful upload changes the image shown.
    QCOMPARE(w->windowTitle(), caption);
    QCOMPARE(w->statusText(6), content);
    QVERIFY(imageCommandsEnabled(*w));
    QCOMPARE(w->Image.ImageBuffer, before);
}

void TestUploadWindow::abortedUploadLeavesTheImage_data()
{
    QTest::addColumn<int>("idByte");
    QTest::addColumn<bool>("confirm");
    QTest::addColumn<int>("boxes");
    QTest::newRow("invalid target id") << 0xB5 << true << 2;
    QTest::newRow("boot prompt cancelled") << 0xC5 << false << 1;
}

void TestUploadWindow::abortedUploadLeavesTheImage()
{
    QFETCH(int, idByte);
    QFETCH(bool, confirm);
    QFETCH(int, boxes);

    SimDeviceOptions options;
    options.idByte = idByte;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    auto w = mainWindow(sim.serialPath());
    QVERIFY(loadB86(*w, pattern(0x100000, 4)));
    const QString caption = w->windowTitle();
    const QByteArray before = w->Image.ImageBuffer;
    m_confirmPrompt = confirm;
    ModalScript script(*w);
    script.ok("TBKDeviceTypeForm", "RBType46xx").ok("TBKChooseForm", "RBFlash");
    w->ButtonUploadClick();

    QCOMPARE(m_boxes.size(), boxes);
    if (confirm) {
        QCOMPARE(m_boxes.last(),
                 QStringLiteral("Brasvik|warning|Flash reading aborted:\n\n"
                                "Invalid Target-ID: B5"));
    }
    QCOMPARE(w->windowTitle(), caption);
    QCOMPARE(w->Image.ImageBuffer, before);
    QVERIFY(imageCommandsEnabled(*w));
    QVERIFY(!w->Serial.Active());
}

void TestUploadWindow::compareLeavesTheImage_data()
{
    QTest::addColumn<QList<qint32>>("differing");
    QTest::addColumn<bool>("showDifferences");
    QTest::addColumn<QString>("lastBox");
    QTest::newRow("equal") << QList<qint32> {} << true
                           << "Data compare complete!|info|1048576 bytes have been compared.\n\n"
                              "Data compare successful!";
    QTest::newRow("last byte") << QList<qint32> {0xFFFFF} << false
                               << "Data compare aborted!|error|1048576 bytes have been compared."
                                  "\n\nDifferent value at address 0FFFFFh found!\n\n"
                                  "1 byte differs in 1 range.|Show differences";
    QTest::newRow("two ranges, shown")
        << QList<qint32> {0x4000, 0x4001, 0xFFFFF} << true
        << "Data compare aborted!|error|16385 bytes have been compared."
           "\n\nDifferent value at address 004000h found!\n\n"
           "3 bytes differ in 2 ranges.|Show differences";
}

void TestUploadWindow::compareLeavesTheImage()
{
    QFETCH(QList<qint32>, differing);
    QFETCH(bool, showDifferences);
    QFETCH(QString, lastBox);
    m_showDifferences = showDifferences;

    const QByteArray flash = pattern(0x100000, 5);
    SimDeviceOptions options;
    options.initialMemory = flash + pattern(4096, 6);
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    auto w = mainWindow(sim.serialPath());
    QByteArray image = flash;
    for (qint32 at : differing)
        image[at] = char(~image[at]);
    QVERIFY(loadB86(*w, image));
    const QString caption = w->windowTitle();
    const QString content = w->statusText(6);
    QString title;
    m_whileRunning = [&](TBKUploadForm &form) {
        title = form.windowTitle();
    };

    ModalScript script(*w);
    script.ok("TBKDeviceTypeForm");
    w->ButtonCompareClick();
    QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(u',')));

    QCOMPARE(title, QStringLiteral("Compare - FLASH memory completely (without NV RAM)"));
    QCOMPARE(m_boxes.size(), 3);
    QVERIFY(m_boxes.at(1).startsWith(QStringLiteral("Brasvik|info|Flash reading successful:")));
    QCOMPARE(m_boxes.last(), lastBox);
    QCOMPARE(w->windowTitle(), caption);
    QCOMPARE(w->statusText(6), content);
    QCOMPARE(w->Image.ImageBuffer, image);
    QVERIFY(imageCommandsEnabled(*w));

    // The window's transfer is in the service record, its last two lines, with the compare.
    QFile record(ServiceRecord::defaultPath());
    QVERIFY(record.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = record.readAll().trimmed().split('\n');
    QVERIFY(lines.size() >= 2);
    const QJsonObject start = QJsonDocument::fromJson(lines.at(lines.size() - 2)).object();
    const QJsonObject end = QJsonDocument::fromJson(lines.last()).object();
    QCOMPARE(end.value("id"), start.value("id"));
    QCOMPARE(end.value("operation").toString(), QStringLiteral("compare"));
    QCOMPARE(end.value("outcome").toString(), QStringLiteral("success"));
    QCOMPARE(end.value("image_file").toString(), m_files.filePath(QStringLiteral("loaded.b86")));
    const QJsonObject compare = end.value("compare").toObject();
    QCOMPARE(compare.value("equal").toBool(), differing.isEmpty());
    QCOMPARE(compare.value("bytes_differing").toInt(), differing.size());

    // The list of differences, when asked for, beside the main window and the bytes marked.
    TDifferencesForm *list = w->differencesForm();
    QCOMPARE(list != nullptr, showDifferences && !differing.isEmpty());
    // Going on to the list closes the window at once; otherwise it waits with its log.
    QCOMPARE(m_openAfterReport, !list);
    if (list) {
        QCOMPARE(list->RangeList->topLevelItemCount(), compare.value("ranges").toArray().size());
        QCOMPARE(list->RangeList->topLevelItemCount(), 2);
        QCOMPARE(w->Viewer->marks().size(), 2);
        QCOMPARE(w->Viewer->marks().first().end - w->Viewer->marks().first().start, 2);
        list->close();
        QVERIFY(w->Viewer->marks().isEmpty());
    }
}

void TestUploadWindow::userBreakClosesEverything()
{
    SimDeviceOptions options;
    options.baud = 9600; // slow enough to break in the middle
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    auto w = mainWindow(sim.serialPath());
    m_whileRunning = [](TBKUploadForm &form) {
        if (form.transfer()->bytesRead() >= 512 && form.ButtonCloseCOM->isEnabled())
            form.ButtonCloseCOM->click();
    };
    ModalScript script(*w);
    script.ok("TBKDeviceTypeForm", "RBType46xx").ok("TBKChooseForm", "RBParameter");
    w->ButtonUploadClick();

    QCOMPARE(m_boxes.last(),
             QStringLiteral("Brasvik|warning|Flash reading aborted:\n\nUser break!"));
    QCOMPARE(w->windowTitle(), QStringLiteral("BrasvikV6")); // ended without data
    QVERIFY(!w->Serial.Active());
    QVERIFY(!w->Serial.HasWorker());
    QVERIFY(!w->Serial.OnRxChar);
    QVERIFY(!w->Serial.OnError);
}

void TestUploadWindow::closedMidTransfer()
{
    SimDeviceOptions options;
    options.can = true;
    options.canPace = true;
    options.canBitrate = 125000;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SettingsStore::overrideCanBus(sim.canBus());
    auto w = mainWindow(sim.serialPath());
    Settings.CANEnabled = true;
    Settings.COMInterface = InterfaceCAN1;
    Settings.CANBaudrate = 5;
    bool closed = false;
    m_whileRunning = [&closed](TBKUploadForm &form) {
        if (!closed && form.transfer()->bytesRead() >= 64) {
            closed = true;
            form.reject();
        }
    };
    ModalScript script(*w);
    script.ok("TBKDeviceTypeForm", "RBType46xx")
        .ok("TBKInterfaceForm", "RBCAN1")
        .ok("TBKChooseForm", "RBFlash");
    w->ButtonUploadClick();
    QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(u',')));

    // Closing asks first; stopping ends it like "Close COM", with the report.
    QCOMPARE(m_boxes.size(), 3);
    QCOMPARE(m_boxes.at(1), QStringLiteral("Brasvik|info|Stop the reading?"));
    QCOMPARE(m_boxes.at(2),
             QStringLiteral("Brasvik|warning|Flash reading aborted:\n\nUser break!"));
    QVERIFY(m_titleFits);
    QCOMPARE(w->windowTitle(), QStringLiteral("BrasvikV6"));
    QVERIFY(!w->Serial.Active());
    QVERIFY(!w->Serial.OnRxChar);
    Settings.CANEnabled = false;
    Settings.COMInterface = InterfaceRS232;
}

// A stray Esc, on the window or on its log, must not end a reading: it goes on to its report.
void TestUploadWindow::escapeLeavesTheReadingRunning()
{
    SimDeviceOptions options;
    options.baud = 115200;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    auto w = mainWindow(sim.serialPath());
    Settings.UploadOpt6 = true;
    int pressed = 0;
    m_whileRunning = [&](TBKUploadForm &form) {
        if (pressed == 0 && form.ButtonCloseCOM->isEnabled()) {
            QTest::keyClick(&form, Qt::Key_Escape);
            QTest::keyClick(form.ResultMemo, Qt::Key_Escape);
            pressed = form.isVisible() ? 1 : -1;
        }
    };
    ModalScript script(*w);
    script.ok("TBKDeviceTypeForm", "RBType46xx").ok("TBKChooseForm", "RBRetain");
    w->ButtonUploadClick();
    Settings.UploadOpt6 = false;
    QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(u',')));

    QCOMPARE(pressed, 1);
    QVERIFY(m_boxes.last().startsWith(QStringLiteral(
        "Brasvik|info|Retain values reading successful:\n\n4096 bytes have been read")));
    QCOMPARE(w->Image.ImageBuffer.size(), 4096);
    QVERIFY(!w->Serial.Active());
}

QTEST_MAIN(TestUploadWindow)
#include "tst_uploadwindow.moc"
