#include "base/SettingsStore.h"
#include "comm/KTSerial.h"
#include "core/ImageLoader.h"
#include "core/ImageState.h"
#include "download/BrasvikDownload.h"
#include "download/DownloadTransfer.h"
#include "FakeLinks.h"
#include "support/H86Builder.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"
#include "transfer/TargetFiles.h"

#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

// The download window itself, offscreen, against the simulated device: message boxes answered
// as a user would, the modal result, the memo, the device's memory and the ports afterwards.
class tst_DownloadWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void programsTheDevice();
    void retainValuesOverCan();
    void userBreak();
    void closedByTheUserMidTransfer();
    void closeBoxMidTransfer();
    void escapeLeavesTheTransferRunning();
    void portThatCannotBeOpened();
    void missingTargetFile();
    void injectedLinksCarryTheTransfer();

private:
    int runWindow(const std::function<void(TBKDownloadForm &)> &whileRunning = {},
                  const TSettings &settings = {});
    void makeSerial(const QString &path);

    TempSettings m_settings;
    std::unique_ptr<TKTSerial> m_serial;
    ImageState m_image;
    QByteArray m_data;
    QStringList m_boxes;
    bool m_confirmPrompt = true;
    QString m_baudText;
    QString m_memo; // the memo as the last message box found it
    TransferLinks m_links; // empty: the real links
};

void tst_DownloadWindow::init()
{
    m_data.clear();
    for (int i = 0; i < 0x2000; ++i)
        m_data.append(char((i * 5 + 1) % 0xFB));
    const QByteArray text = H86Builder().data(0, m_data, 32).end().text();
    QVERIFY(ImageLoader::LoadH86Data(m_image, text, Device46xx).ok());
    m_image.FileName = QStringLiteral("/images/os.h86");
    m_image.EndSector = LastSectorBelow(m_image.DataEnd) + 1;
    m_boxes.clear();
    m_confirmPrompt = true;
    TargetFiles::setDirectory(SimDevice::h86Directory());
}

void tst_DownloadWindow::cleanup()
{
    m_serial.reset();
    TargetFiles::setDirectory(QString());
    SettingsStore::clearOverrides();
    m_links = {};
}

void tst_DownloadWindow::makeSerial(const QString &path)
{
    SettingsStore::overrideComPortDevicePath(0, path);
    m_serial = std::make_unique<TKTSerial>();
    m_serial->SetPortName(COM1);
    m_serial->SetFrameParitybit(TParityBit::None);
    m_serial->SetSyncEventHandling(true);
}

int tst_DownloadWindow::runWindow(const std::function<void(TBKDownloadForm &)> &whileRunning,
                                  const TSettings &settings)
{
    TBKDownloadForm form(nullptr, *m_serial, m_image, Device46xx, settings,
                         [this](const QString &text) { m_baudText = text; }, m_links);
    // Answers every message box the way a user would, and lets the test act meanwhile.
    QTimer user;
    user.setInterval(10);
    connect(&user, &QTimer::timeout, &form, [&] {
        m_memo = form.ResultMemo->toPlainText();
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!box || !box->isVisible())
                continue;
            m_boxes << box->windowTitle() + u'|' + box->text();
            const bool prompt = box->objectName() == QLatin1String("BootPrompt");
            box->button(prompt && !m_confirmPrompt ? QMessageBox::Cancel : QMessageBox::Ok)
                ->click();
            return;
        }
        if (whileRunning)
            whileRunning(form);
    });
    user.start();
    const int result = form.exec();
    user.stop();
    return result;
}

void tst_DownloadWindow::programsTheDevice()
{
    SimDevice sim;
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    makeSerial(sim.serialPath());
    const QByteArray before = m_image.ImageBuffer;
    QString memo;
    const int result = runWindow([&](TBKDownloadForm &form) {
        memo = form.ResultMemo->toPlainText();
        QCOMPARE(form.windowTitle(), QStringLiteral("Download - os.h86"));
    });
    QCOMPARE(result, 1);
    QCOMPARE(m_boxes.size(), 2);
    QCOMPARE(
        m_boxes.first(),
        QStringLiteral("Brasvik|Please press the boot pushbutton\nand restart your hardware now!"));
    QVERIFY(m_boxes.last().startsWith(
        QStringLiteral("Brasvik|Flash programming successful:\n\n8192 bytes programmed")));
    QCOMPARE(m_baudText, QStringLiteral("57600 bit/s"));
    QVERIFY(!m_serial->Active());
    QVERIFY(!m_serial->OnRxChar);
    QCOMPARE(m_image.ImageBuffer, before); // the window programs a copy
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.flash().left(m_data.size()), m_data);
}

void tst_DownloadWindow::retainValuesOverCan()
{
    QByteArray nv;
    for (int i = 0; i < 4096; ++i)
        nv.append(char(i * 3));
    quint8 type = DeviceNone;
    QVERIFY(ImageLoader::LoadB86Data(m_image, nv, type).ok());
    m_image.FileName = QStringLiteral("/images/nv.b86");
    QCOMPARE(type, Device46xx);

    SimDeviceOptions options;
    options.can = true;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    makeSerial(sim.serialPath());
    SettingsStore::overrideCanBus(sim.canBus());
    TSettings settings;
    settings.CANEnabled = true;
    settings.COMInterface = InterfaceCAN1;
    settings.CANBaudrate = 7;
    QString memo;
    const int result = runWindow(
        [&](TBKDownloadForm &form) { memo = form.ResultMemo->toPlainText(); }, settings);
    QCOMPARE(result, 1);
    QVERIFY(m_boxes.last().startsWith(
        QStringLiteral("Brasvik|Retain values programming successful:\n\n4096 bytes programmed")));
    QVERIFY(m_memo.contains(QLatin1String("Transmitting DownloadNVCAN1_500K.H86...")));
    QVERIFY(m_memo.endsWith(QLatin1String("Retain values programming finished!")));
    QVERIFY(!m_serial->Active());
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.nvRam().left(4096), nv);
}

void tst_DownloadWindow::userBreak()
{
    SimDeviceOptions options;
    options.baud = 9600;
    SimDevice sim(options);
    QVERIFY(sim.isReady());
    makeSerial(sim.serialPath());
    bool clicked = false;
    QString memo;
    const int result = runWindow([&](TBKDownloadForm &form) {
        memo = form.ResultMemo->toPlainText();
        if (!clicked && memo.contains(QLatin1String("Start flash programming..."))) {
            QVERIFY(form.ButtonCloseCOM->isEnabled());
            clicked = true;
            form.ButtonCloseCOM->click();
        }
    });
    QCOMPARE(result, 2);
    QVERIFY(clicked);
    QCOMPARE(m_boxes.last(), QStringLiteral("Brasvik|Flash programming aborted:\n\nUser break!"));
    QVERIFY(m_memo.endsWith(QLatin1String("TIMEOUT")));
    QVERIFY(!m_serial->Active());
    QVERIFY(sim.waitForFinished());
}

void tst_DownloadWindow::closedByTheUserMidTransfer()
{
    SimDeviceOptions options;
    options.baud = 9600;
    SimDevice sim(options);
    QVERIFY(sim.isReady());
    makeSerial(sim.serialPath());
    const int result = runWindow([&](TBKDownloadForm &form) {
        if (form.ResultMemo->toPlainText().contains(QLatin1String("Loader started...")))
            form.reject();
    });
    QCOMPARE(result, 2);
    QCOMPARE(m_boxes.size(), 1); // the prompt only: no report
    QVERIFY(!m_serial->Active());
    QVERIFY(!m_serial->OnRxChar && !m_serial->OnTxEmpty && !m_serial->OnError);
    QTest::qWait(300); // nothing still queued may touch the freed window
    QVERIFY(sim.waitForFinished());
}

void tst_DownloadWindow::closeBoxMidTransfer()
{
    SimDeviceOptions options;
    options.baud = 9600;
    SimDevice sim(options);
    QVERIFY(sim.isReady());
    makeSerial(sim.serialPath());
    const int result = runWindow([&](TBKDownloadForm &form) {
        if (form.ResultMemo->toPlainText().contains(QLatin1String("Loader started...")))
            form.close(); // the close box
    });
    QCOMPARE(result, 2);
    QCOMPARE(m_boxes.size(), 1); // the prompt only: no report
    QVERIFY(!m_serial->Active());
    QVERIFY(sim.waitForFinished());
}

// A stray Esc, on the window or on its log, must not end a download: it goes on to its report.
void tst_DownloadWindow::escapeLeavesTheTransferRunning()
{
    SimDeviceOptions options;
    options.baud = 115200;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    makeSerial(sim.serialPath());
    int pressed = 0;
    const int result = runWindow([&](TBKDownloadForm &form) {
        if (pressed == 0 && form.ResultMemo->toPlainText().contains(QLatin1String("Loader"))) {
            QTest::keyClick(&form, Qt::Key_Escape);
            QTest::keyClick(form.ResultMemo, Qt::Key_Escape);
            pressed = form.isVisible() ? 1 : -1;
        }
    });
    QCOMPARE(pressed, 1);
    QCOMPARE(result, 1);
    QVERIFY(m_boxes.last().startsWith(
        QStringLiteral("Brasvik|Flash programming successful:\n\n8192 bytes programmed")));
    QVERIFY(!m_serial->Active());
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.flash().left(m_data.size()), m_data);
}

void tst_DownloadWindow::portThatCannotBeOpened()
{
    QTemporaryDir dir;
    makeSerial(dir.filePath(QStringLiteral("no-such-port")));
    const int result = runWindow();
    QCOMPARE(result, 3);
    QCOMPARE(m_boxes.size(), 1);
    QVERIFY(m_boxes.first().startsWith(QLatin1String("Open COM error|")));
    QVERIFY(!m_serial->Active());
}

void tst_DownloadWindow::missingTargetFile()
{
    QTemporaryDir empty;
    TargetFiles::setDirectory(empty.path());
    makeSerial(QStringLiteral("/dev/null"));
    const int result = runWindow();
    QCOMPARE(result, 3);
    QCOMPARE(m_boxes,
             QStringList(QStringLiteral("Brasvik|Missing bootstrap loader file!\n\nFile: "
                                        "DLoader.H86\n\nDownload will be aborted!")));
    QVERIFY(!m_serial->Active());
}

void tst_DownloadWindow::injectedLinksCarryTheTransfer()
{
    // The window's own port component points nowhere: only the injected link is used.
    makeSerial(QStringLiteral("/nonexistent/brasvik-port"));
    FakeSerialLink *fake = nullptr;
    int canLinks = 0;
    m_links.serial = [&fake](TKTSerial &) {
        auto link = std::make_unique<FakeSerialLink>();
        fake = link.get();
        return link;
    };
    m_links.can = [&canLinks]() -> std::unique_ptr<CanLink> {
        ++canLinks;
        return nullptr;
    };
    bool clicked = false;
    const int result = runWindow([&](TBKDownloadForm &form) {
        if (clicked || !fake || fake->writes.isEmpty())
            return;
        QCOMPARE(fake->openCount, 1);
        QCOMPARE(fake->writes.first(), QByteArray(1, '\0')); // the boot byte
        clicked = true;
        form.ButtonCloseCOM->click();
    });
    QVERIFY(clicked);
    QCOMPARE(result, 2);
    QCOMPARE(m_boxes.last(), QStringLiteral("Brasvik|Flash programming aborted:\n\nUser break!"));
    QCOMPARE(canLinks, 0); // RS-232 only
    QVERIFY(!m_serial->Active());
}

QTEST_MAIN(tst_DownloadWindow)
#include "tst_downloadwindow.moc"
