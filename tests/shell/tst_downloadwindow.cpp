#include "base/SettingsStore.h"
#include "comm/KTSerial.h"
#include "comm/PortDiagnosis.h"
#include "core/ImageLoader.h"
#include "core/ImageState.h"
#include "download/DownloadTransfer.h"
#include "shell/BrasvikDownload.h"
#include "support/FakeLinks.h"
#include "support/H86Builder.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"
#include "transfer/ServiceRecord.h"
#include "transfer/TargetDiagnosis.h"
#include "transfer/TargetFiles.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
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
    void stoppingMidTransferAsksFirst_data();
    void stoppingMidTransferAsksFirst();
    void unansweredBootByte();
    void escapeLeavesTheTransferRunning();
    void portThatCannotBeOpened();
    void missingTargetFile_data();
    void missingTargetFile();
    void rateLabelShowsRateAndTimeLeft();
    void serviceRecord_data();
    void serviceRecord();
    void bootLinesInPlaceOfThePrompt();
    void injectedLinksCarryTheTransfer();
    void verifyAndUnitProof_data();
    void verifyAndUnitProof();

private:
    int runWindow(const std::function<void(TBKDownloadForm &)> &whileRunning = {},
                  const TSettings &settings = {}, const DownloadResumeOffer::Choice &resume = {});
    void makeSerial(const QString &path);

    TempSettings m_settings;
    std::unique_ptr<TKTSerial> m_serial;
    ImageState m_image;
    QByteArray m_data;
    QStringList m_boxes;
    QList<QMessageBox::Icon> m_icons; // of the boxes in m_boxes
    QString m_rateAtBox; // the rate label when the last box came up
    bool m_confirmPrompt = true;
    QMessageBox::StandardButton m_stopAnswer = QMessageBox::Yes;
    QString m_baudText;
    QString m_memo; // the memo as the last message box found it
    bool m_openAfterReport = false; // the window stayed open, its log readable, after the report
    bool m_closeWithEscape = false; // close it then with Esc, else with its Close button
    TransferLinks m_links; // empty: the real links
};

void tst_DownloadWindow::init()
{
    m_data.clear();
    for (int i = 0; i < 0x2000; ++i)
        m_data.append(char((i * 5 + 1) % 0xFB));
    const QByteArray text = H86Builder().data(0, m_data, 32).end().text();
    QVERIFY(ImageLoader::LoadH86Data(m_image, text, DeviceKind::Device46xx).ok());
    m_image.FileName = QStringLiteral("/images/os.h86");
    m_image.EndSector = LastSectorBelow(m_image.DataEnd) + 1;
    m_boxes.clear();
    m_icons.clear();
    m_confirmPrompt = true;
    m_stopAnswer = QMessageBox::Yes;
    m_openAfterReport = false;
    m_closeWithEscape = false;
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
                                  const TSettings &settings,
                                  const DownloadResumeOffer::Choice &resume)
{
    TBKDownloadForm form(
        nullptr, *m_serial, m_image, DeviceKind::Device46xx, settings,
        [this](const QString &text) { m_baudText = text; }, resume, m_links);
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
            m_icons << box->icon();
            m_rateAtBox = form.RateLabel->text();
            const bool prompt = box->objectName() == QLatin1String("BootPrompt");
            if (box->objectName() == QLatin1String("StopPrompt"))
                box->button(m_stopAnswer)->click();
            else
                box->button(prompt && !m_confirmPrompt ? QMessageBox::Cancel : QMessageBox::Ok)
                    ->click();
            return;
        }
        if (form.ButtonClose->isVisible()) {
            m_openAfterReport
                = form.isVisible() && form.ResultMemo->toPlainText() == m_memo && !m_memo.isEmpty();
            if (m_closeWithEscape)
                QTest::keyClick(&form, Qt::Key_Escape);
            else
                form.ButtonClose->click();
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
    QVERIFY(m_openAfterReport);
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
    DeviceKind type = DeviceKind::None;
    QVERIFY(ImageLoader::LoadB86Data(m_image, nv, type).ok());
    m_image.FileName = QStringLiteral("/images/nv.b86");
    QCOMPARE(type, DeviceKind::Device46xx);

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

void tst_DownloadWindow::stoppingMidTransferAsksFirst_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("report");
    const QString stopped = QStringLiteral("Brasvik|Flash programming aborted:\n\nUser break!\n\n"
                                           "Programming can be resumed from sector 0.");
    const QString programmed
        = QStringLiteral("Brasvik|Flash programming successful:\n\n8192 bytes programmed");
    QTest::newRow("Stop clicked, stop") << "click" << int(QMessageBox::Yes) << 2 << stopped;
    QTest::newRow("Space on Stop, stop") << "space" << int(QMessageBox::Yes) << 2 << stopped;
    QTest::newRow("Space on Stop, keep it running")
        << "space" << int(QMessageBox::No) << 1 << programmed;
    QTest::newRow("close box, stop") << "close" << int(QMessageBox::Yes) << 2 << stopped;
    QTest::newRow("Alt+F4, keep it running") << "reject" << int(QMessageBox::No) << 1 << programmed;
}

// Every way of stopping a running download asks the same question first.
void tst_DownloadWindow::stoppingMidTransferAsksFirst()
{
    QFETCH(QString, how);
    QFETCH(int, answer);
    m_stopAnswer = QMessageBox::StandardButton(answer);
    SimDeviceOptions options;
    options.baud = 9600;
    SimDevice sim(options);
    QVERIFY(sim.isReady());
    makeSerial(sim.serialPath());
    bool stopped = false;
    const int result = runWindow([&](TBKDownloadForm &form) {
        if (!stopped && form.ResultMemo->toPlainText().contains(QLatin1String("Start flash"))) {
            QVERIFY(form.ButtonCloseCOM->isEnabled());
            stopped = true;
            // Outside this timer's slot: the question's own loop needs the timer to answer it.
            QTimer::singleShot(0, &form, [&form, how] {
                if (how == QLatin1String("click")) {
                    form.ButtonCloseCOM->click();
                } else if (how == QLatin1String("space")) {
                    form.ButtonCloseCOM->setFocus();
                    QTest::keyClick(form.ButtonCloseCOM, Qt::Key_Space);
                } else if (how == QLatin1String("close")) {
                    form.close();
                } else {
                    form.reject();
                }
            });
        }
    });
    QTEST(result, "result");
    QVERIFY(stopped);
    // The prompt, the question, the report.
    QCOMPARE(m_boxes.size(), 3);
    QCOMPARE(m_boxes.at(1),
             QStringLiteral("Brasvik|A download is running. Stop it? The device will be left "
                            "partly programmed; you can resume from sector 0."));
    QFETCH(QString, report);
    QVERIFY2(m_boxes.at(2).startsWith(report), qPrintable(m_boxes.at(2)));
    // A break is no success: the report carries the warning sign.
    QCOMPARE(m_icons.at(2), result == 1 ? QMessageBox::Information : QMessageBox::Warning);
    if (result == 2)
        QVERIFY(m_memo.endsWith(QLatin1String("TIMEOUT")));
    QVERIFY(!m_serial->Active());
    QVERIFY(!m_serial->OnRxChar && !m_serial->OnTxEmpty && !m_serial->OnError);
    QTest::qWait(300); // nothing still queued may touch the freed window
    QVERIFY(sim.waitForFinished());
}

void tst_DownloadWindow::unansweredBootByte()
{
    SimDeviceOptions options;
    options.extraArguments = {QStringLiteral("--silent-from"), QStringLiteral("id")};
    SimDevice sim(options);
    QVERIFY(sim.isReady());
    makeSerial(sim.serialPath());
    QCOMPARE(runWindow(), 2);
    // The report's own lines, then the step that got no answer and what to do.
    QCOMPARE(m_boxes.last(),
             QStringLiteral("Brasvik|Flash programming aborted:\n\nTIMEOUT\n\n"
                            "No answer to the boot byte: the device did not send its target ID.\n"
                            "Check the cable and the port, and put the device into its boot mode "
                            "(boot switch, then reset)."));
    QCOMPARE(m_icons.last(), QMessageBox::Warning);
    QCOMPARE(m_rateAtBox, QString()); // no data moved: no rate to settle on
}

// A stray Esc, on the window or on its log, must not end a download: it goes on to its report.
// After the report Esc closes the window with the download's result.
void tst_DownloadWindow::escapeLeavesTheTransferRunning()
{
    SimDeviceOptions options;
    options.baud = 115200;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    makeSerial(sim.serialPath());
    m_closeWithEscape = true;
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
    QVERIFY(m_openAfterReport);
    QVERIFY(m_boxes.last().startsWith(
        QStringLiteral("Brasvik|Flash programming successful:\n\n8192 bytes programmed")));
    QVERIFY(!m_serial->Active());
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.flash().left(m_data.size()), m_data);
}

void tst_DownloadWindow::portThatCannotBeOpened()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("no-such-port"));
    makeSerial(path);
    const int result = runWindow();
    QCOMPARE(result, 3);
    QCOMPARE(m_boxes.size(), 1);
    QVERIFY(m_boxes.first().startsWith(QLatin1String("Open COM error|")));
    // The system's text, the port it tried, and the doctor's advice for it as the last line.
    const QStringList lines = m_boxes.first().split(u'\n');
    QVERIFY2(lines.size() >= 5, qPrintable(m_boxes.first()));
    QVERIFY2(!lines.at(0).endsWith(u'|'), qPrintable(m_boxes.first()));
    QCOMPARE(lines.at(2), QStringLiteral("Port: COM1 (%1)").arg(path));
    // The window's way to another port is its Init COM dialog, not the command line.
    const QString hint
        = PortDiagnosis::windowHint(PortDiagnosis::hintFor(path, QStringLiteral("COM1")));
    QVERIFY2(hint.contains(QLatin1String("Init COM dialog")) && !hint.contains(u"--port"),
             qPrintable(hint));
    QCOMPARE(lines.at(lines.size() - 2), QString());
    QCOMPARE(lines.last(), hint);
    QVERIFY(!m_serial->Active());
}

void tst_DownloadWindow::missingTargetFile_data()
{
    QTest::addColumn<bool>("folderNamed"); // with --h86-dir, else the folders searched
    QTest::newRow("folder named") << true;
    QTest::newRow("folders searched") << false;
}

// The missing file, the folders searched, and what to do about it with what the window offers:
// the folders to copy the files into, never a command-line option.
void tst_DownloadWindow::missingTargetFile()
{
    QFETCH(bool, folderNamed);
    QTemporaryDir empty;
    TargetFiles::setDirectory(folderNamed ? empty.path() : QString());
    qputenv("XDG_DATA_HOME", empty.filePath(QStringLiteral("data")).toLocal8Bit());
    const auto restore = qScopeGuard([] { qunsetenv("XDG_DATA_HOME"); });
    makeSerial(QStringLiteral("/dev/null"));
    const int result = runWindow();
    QCOMPARE(result, 3);
    QCOMPARE(m_boxes.size(), 1);
    const QString folder = TargetFiles::directory();
    QVERIFY2(m_boxes.first().startsWith(
                 QStringLiteral("Brasvik|Missing bootstrap loader file!\n\nFile: "
                                "DLoader.H86\n\nDownload will be aborted!\n\n")
                 + (folderNamed ? QStringLiteral("Folder searched: 1) %1 (used)").arg(folder)
                                : QStringLiteral("Folders searched: "))),
             qPrintable(m_boxes.first()));
    const QString hint = folderNamed
        ? QStringLiteral("Copy the device maker's target programs into %1.").arg(folder)
        : QStringLiteral("Copy the device maker's target programs into %1 (your own) or %2 "
                         "(all users).")
              .arg(TargetFiles::userDirectory(), TargetFiles::systemDirectory());
    QVERIFY2(m_boxes.first().endsWith(hint), qPrintable(m_boxes.first()));
    QVERIFY(!m_boxes.first().contains(QLatin1String("--")));
    QVERIFY(!m_serial->Active());
}

void tst_DownloadWindow::rateLabelShowsRateAndTimeLeft()
{
    // 8 KiB at 57600 bit/s: well over a second of blocks, long enough for a rate to show.
    SimDeviceOptions options;
    options.baud = 57600;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    makeSerial(sim.serialPath());
    QStringList shown; // each text of the rate label, in order, without repeats
    bool belowTheBar = false;
    const int result = runWindow([&](TBKDownloadForm &form) {
        const QString text = form.RateLabel->text();
        if (shown.isEmpty() || shown.last() != text)
            shown << text;
        belowTheBar = form.RateLabel->geometry().top() >= form.ProgressBar->geometry().bottom();
    });
    QCOMPARE(result, 1);
    QVERIFY(belowTheBar);
    QCOMPARE(shown.first(), QString()); // nothing before the first rate is known
    // A stall shows as a rate alone: no time left can be told from it.
    const QRegularExpression rated(
        QStringLiteral(R"(^\d+(\.\d+)? (B|kB)/s(, \d+:\d\d left)?$)"));
    QStringList rates;
    for (const QString &text : std::as_const(shown)) {
        if (!text.isEmpty()) {
            QVERIFY2(rated.match(text).hasMatch(), qPrintable(text));
            rates << text;
        }
    }
    // Updated as the blocks go, not once; the line runs at about 5 kB/s.
    QVERIFY2(rates.size() >= 2, qPrintable(shown.join(u'|')));
    const QRegularExpression lineRate(QStringLiteral(R"(^[2-6]\.\d kB/s, )"));
    QVERIFY2(std::any_of(rates.cbegin(), rates.cend(),
                         [&](const QString &text) { return lineRate.match(text).hasMatch(); }),
             qPrintable(rates.join(u'|')));
    // At the end: the data phase's average and the time it took, no time left.
    QVERIFY2(QRegularExpression(QStringLiteral(R"(^[2-6]\.\d kB/s average, 0:0\d$)"))
                 .match(m_rateAtBox)
                 .hasMatch(),
             qPrintable(m_rateAtBox));
    QVERIFY(sim.waitForFinished());
}

void tst_DownloadWindow::serviceRecord_data()
{
    QTest::addColumn<bool>("writable");
    QTest::newRow("written") << true;
    QTest::newRow("cannot be written") << false;
}

void tst_DownloadWindow::serviceRecord()
{
    QFETCH(bool, writable);
    QTemporaryDir state;
    // A regular file where the record's folder would go makes the record unwritable.
    const QString stateHome = writable ? state.path() : state.filePath(QStringLiteral("file"));
    QFile blocker(state.filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QByteArray previous = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", stateHome.toLocal8Bit());
    const auto restore = qScopeGuard([&] { qputenv("XDG_STATE_HOME", previous); });

    SimDevice sim;
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    makeSerial(sim.serialPath());
    const int result = runWindow();
    QCOMPARE(result, 1); // the record never fails a transfer
    QVERIFY(m_boxes.last().startsWith(QStringLiteral("Brasvik|Flash programming successful:")));
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.flash().left(m_data.size()), m_data);

    const QString warning = QStringLiteral("Cannot write the service record ");
    QFile record(ServiceRecord::defaultPath());
    if (!writable) {
        QCOMPARE(m_memo.count(warning), 1);
        QVERIFY(!record.exists());
        return;
    }
    QVERIFY(!m_memo.contains(warning));
    QVERIFY(record.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = record.readAll().trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    const QJsonObject start = QJsonDocument::fromJson(lines.at(0)).object();
    const QJsonObject end = QJsonDocument::fromJson(lines.at(1)).object();
    QCOMPARE(end.value("id"), start.value("id"));
    QCOMPARE(start.value("outcome").toString(), QStringLiteral("running"));
    QCOMPARE(end.value("outcome").toString(), QStringLiteral("success"));
    QCOMPARE(end.value("operation").toString(), QStringLiteral("download"));
    QCOMPARE(end.value("image_file").toString(), QStringLiteral("/images/os.h86"));
    QCOMPARE(end.value("port").toString(), QStringLiteral("COM1"));
    QCOMPARE(end.value("port_path").toString(), sim.serialPath());
    QCOMPARE(end.value("bytes").toInteger(), m_data.size());
}

void tst_DownloadWindow::bootLinesInPlaceOfThePrompt()
{
    SimDevice sim;
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    makeSerial(sim.serialPath());
    {
        QSettings s(m_settings.iniFile(), QSettings::IniFormat);
        s.setValue(QStringLiteral("Ports/COM1BootLines"), QStringLiteral("dtr=1,wait=50,dtr=0"));
    }
    const int result = runWindow();
    QFile::remove(m_settings.iniFile());
    // No prompt: the sequence runs instead, and a pseudo-terminal cannot raise DTR.
    QCOMPARE(result, 3);
    QCOMPARE(m_boxes,
             QStringList(QStringLiteral(
                 "Boot lines error|Cannot set the DTR line of COM1: the port has no modem lines (a "
                 "pseudo-terminal has none), so the boot line sequence in Ports/COM1BootLines "
                 "cannot run.\n\nNo byte was sent. Download will be aborted!")));
    QCOMPARE(m_memo, QStringLiteral("Boot entry through the modem lines: dtr=1,wait=50,dtr=0"));
    QVERIFY(!m_serial->Active());
    sim.stop();
    QCOMPARE(sim.hostBytes(), QByteArray());
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
        QTimer::singleShot(0, form.ButtonCloseCOM, &QToolButton::click);
    });
    QVERIFY(clicked);
    QCOMPARE(result, 2);
    QCOMPARE(m_boxes.last(), QStringLiteral("Brasvik|Flash programming aborted:\n\nUser break!"));
    QCOMPARE(canLinks, 0); // RS-232 only
    QVERIFY(!m_serial->Active());
}

void tst_DownloadWindow::verifyAndUnitProof_data()
{
    QTest::addColumn<QString>("unit"); // what the device holds, or its fault
    QTest::addColumn<int>("resumeSector"); // -1: a whole download with Verify checked
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("lastBox"); // the start of the box that tells how it went
    QTest::newRow("verified") << "" << -1 << 1 << "Flash programming successful:";
    QTest::newRow("verify finds an altered byte")
        << "altered" << -1 << 2
        << "Flash programming failed:\n\nThe verify read found 1 differing bytes, the first at "
           "004010h (sector 1):";
    QTest::newRow("resume on the same unit") << "same" << 2 << 1 << "Flash programming successful:";
    QTest::newRow("resume refused on a blank unit")
        << "blank" << 2 << 3
        << "The unit on COM1 does not hold this image below sector 2 (first difference at "
           "000000h): download it in full.";
}

void tst_DownloadWindow::verifyAndUnitProof()
{
    QFETCH(QString, unit);
    QFETCH(int, resumeSector);
    // Sectors 0 to 2, so that a resume at 2 has a sector below it to prove.
    const QByteArray text = H86Builder()
                                .data(0, m_data, 32)
                                .data(0x4000, m_data, 32)
                                .data(0x6000, m_data, 32)
                                .end()
                                .text();
    QVERIFY(ImageLoader::LoadH86Data(m_image, text, DeviceKind::Device46xx).ok());
    m_image.EndSector = LastSectorBelow(m_image.DataEnd) + 1;
    QByteArray flash = m_image.ImageBuffer.left(0x100000);
    if (unit == QLatin1String("blank"))
        flash.fill(char(0xFF));
    SimDeviceOptions options;
    options.oneShot = false; // the proof or the verify is an entry of its own
    options.initialMemory = flash + QByteArray(4096, '\0');
    if (unit == QLatin1String("altered"))
        options.extraArguments = {QStringLiteral("--alter-byte"), QStringLiteral("4010")};
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    makeSerial(sim.serialPath());
    Settings.DownloadVerify = resumeSector < 0;
    DownloadResumeOffer::Choice resume;
    if (resumeSector >= 0) {
        resume.kind = DownloadResumeOffer::Choice::Kind::Resume;
        resume.sector = resumeSector;
    }
    bool verifyShown = false;
    const int modal = runWindow(
        [&](TBKDownloadForm &form) { verifyShown = form.CBVerify->isChecked(); }, {}, resume);
    QFETCH(int, result);
    QFETCH(QString, lastBox);
    QCOMPARE(modal, result);
    QVERIFY2(std::any_of(m_boxes.cbegin(), m_boxes.cend(),
                         [&](const QString &box) {
                             return box.startsWith(QStringLiteral("Brasvik|") + lastBox);
                         }),
             qPrintable(m_boxes.join(u'\n')));
    QCOMPARE(verifyShown, resumeSector < 0);
    // One boot prompt per entry: the proof or the verify, and the download.
    QCOMPARE(m_boxes.count(QStringLiteral("Brasvik|Please press the boot pushbutton\nand restart "
                                          "your hardware now!")),
             unit == QLatin1String("blank") ? 1 : 2);
    sim.stop();
    if (unit == QLatin1String("blank"))
        QCOMPARE(sim.flash(), flash); // refused before anything was erased
    else if (unit != QLatin1String("altered"))
        QCOMPARE(sim.flash(), m_image.ImageBuffer.left(0x100000));
}

QTEST_MAIN(tst_DownloadWindow)
#include "tst_downloadwindow.moc"
