#include "base/BKGlobal.h"
#include "shell/BrasvikDeviceType.h"
#include "shell/BrasvikInit.h"
#include "shell/BrasvikInterface.h"
#include "shell/BrasvikOptions.h"
#include "shell/BrasvikUploadChoice.h"
#include "core/ImageState.h"
#include "shell/RadioGroup.h"
#include "base/SettingsStore.h"
#include "support/TempSettings.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QWheelEvent>

class tst_Dialogs : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        Settings = TSettings();
        DeviceType = DeviceKind::None;
    }

    void deviceTypePreselection_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("suggested");
        QTest::addColumn<bool>("checked46xx");
        QTest::addColumn<bool>("checkedBoard");
        QTest::addColumn<bool>("enabled46xx");
        QTest::addColumn<bool>("enabledBoard");
        QTest::addColumn<bool>("okEnabled");
        QTest::newRow("none chosen") << 0 << 0 << false << false << true << true << false;
        QTest::newRow("none chosen, board suggested")
            << 0 << 2 << false << true << true << true << true;
        QTest::newRow("none chosen, 46xx suggested")
            << 0 << 1 << true << false << true << true << true;
        QTest::newRow("46xx") << 1 << 2 << true << false << true << false << true;
        QTest::newRow("board") << 2 << 0 << false << true << false << true << true;
    }

    // What is preselected, and Enter: it confirms the choice and never cancels the command.
    void deviceTypePreselection()
    {
        QFETCH(int, type);
        QFETCH(int, suggested);
        QFETCH(bool, okEnabled);
        DeviceType = DeviceKind(type);
        TBKDeviceTypeForm f(nullptr, DeviceKind(suggested));
        QCOMPARE(f.windowTitle(), QStringLiteral("Select device type"));
        QTEST(f.RBType46xx->isChecked(), "checked46xx");
        QTEST(f.RBTypeCVBRD1_Zx->isChecked(), "checkedBoard");
        QTEST(f.RBType46xx->isEnabled(), "enabled46xx");
        QTEST(f.RBTypeCVBRD1_Zx->isEnabled(), "enabledBoard");
        QCOMPARE(f.ButtonOK->isEnabled(), okEnabled);
        f.show();
        QWidget *focus = f.focusWidget();
        QVERIFY(focus == f.RBType46xx || focus == f.RBTypeCVBRD1_Zx);
        QVERIFY(!okEnabled || static_cast<QRadioButton *>(focus)->isChecked());
        QTest::keyClick(focus, Qt::Key_Return);
        QCOMPARE(f.isVisible(), !okEnabled);
        QCOMPARE(f.result(), okEnabled ? int(mrOk) : 0);
    }

    void deviceTypeClickEnablesOkAndStores()
    {
        TBKDeviceTypeForm f(nullptr);
        f.show();
        QTest::mouseClick(f.RBTypeCVBRD1_Zx, Qt::LeftButton);
        QVERIFY(f.ButtonOK->isEnabled());
        QTest::mouseClick(f.ButtonOK, Qt::LeftButton);
        QCOMPARE(f.result(), int(mrOk));
        QCOMPARE(DeviceType, DeviceKind::Board4610);
    }

    void deviceTypeCancelStoresNothing()
    {
        TBKDeviceTypeForm f(nullptr);
        f.show();
        f.RBType46xx->click();
        QTest::mouseClick(f.ButtonCancel, Qt::LeftButton);
        QCOMPARE(f.result(), int(mrCancel));
        QCOMPARE(DeviceType, DeviceKind::None);
    }

    void closingCountsAsCancel()
    {
        TBKInterfaceForm f(nullptr);
        f.show();
        f.reject();
        QCOMPARE(f.result(), int(mrCancel));
    }

    void interfaceChoice_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<QString>("checked");
        QTest::addColumn<QString>("click");
        QTest::addColumn<int>("result");
        QTest::newRow("RS-232") << 0 << "RBCOM1"
                                << "RBCAN2" << 2;
        QTest::newRow("CAN1") << 1 << "RBCAN1"
                              << "RBCOM1" << 0;
        QTest::newRow("CAN2") << 2 << "RBCAN2"
                              << "RBCAN1" << 1;
        QTest::newRow("out of range") << 9 << "RBCOM1"
                                      << "RBCOM1" << 0;
    }

    void interfaceChoice()
    {
        QFETCH(int, stored);
        QFETCH(QString, checked);
        QFETCH(QString, click);
        Settings.COMInterface = stored;
        TBKInterfaceForm f(nullptr);
        QVERIFY(f.findChild<QRadioButton *>(checked)->isChecked());
        f.findChild<QRadioButton *>(click)->click();
        f.ButtonOKClick();
        QCOMPARE(f.result(), int(mrOk));
        QTEST(Settings.COMInterface, "result");
    }

    void eraseOptions_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("downloadOpt1");
        QTest::addColumn<bool>("chooseFlash");
        QTest::addColumn<bool>("flashEnabled");
        QTest::addColumn<bool>("osEnabled");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("end");
        // The image starts with FirstSector 3, EndSector 11, DataEnd 0x12345.
        QTest::newRow("46xx, OS sectors") << 1 << false << false << false << true << 3 << 5;
        QTest::newRow("46xx, whole flash allowed") << 1 << true << true << true << true << 0 << 0;
        QTest::newRow("46xx, allowed but OS kept") << 1 << true << false << true << true << 3 << 5;
        QTest::newRow("board") << 2 << false << true << true << false << 0 << 0;
    }

    void eraseOptions()
    {
        QFETCH(int, type);
        QFETCH(bool, downloadOpt1);
        QFETCH(bool, chooseFlash);
        DeviceType = DeviceKind(type);
        Settings.DownloadOpt1 = downloadOpt1;
        ImageState image;
        image.FirstSector = 3;
        image.EndSector = 11;
        image.DataEnd = 0x12345;
        TBKOptionsForm f(nullptr, image);
        QCOMPARE(f.windowTitle(), QStringLiteral("H86 Download options"));
        QTEST(f.RBFlash->isEnabled(), "flashEnabled");
        QTEST(f.RBOS->isEnabled(), "osEnabled");
        QCOMPARE(f.RBFlash->isChecked(), DeviceKind(type) == DeviceKind::Board4610);
        if (chooseFlash)
            f.RBFlash->click();
        f.ButtonOKClick();
        QTEST(image.FirstSector, "first");
        QTEST(image.EndSector, "end");
    }

    void eraseOptionsCancel()
    {
        DeviceType = DeviceKind::Device46xx;
        ImageState image;
        image.FirstSector = 3;
        image.EndSector = 11;
        image.DataEnd = 0x12345;
        TBKOptionsForm f(nullptr, image);
        f.reject();
        QCOMPARE(image.EndSector, 11);
    }

    void uploadChoice_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("end");
        QTest::addColumn<bool>("retain");
        QTest::addColumn<QString>("text");
        QTest::newRow("flash") << "RBFlash" << 0 << 0 << false
                               << "FLASH memory completely (without NV RAM)";
        QTest::newRow("os") << "RBOS" << 0 << 11 << false << "Operating system";
        QTest::newRow("parameters")
            << "RBParameter" << 17 << 19 << false << "Curve and system parameters";
        QTest::newRow("project") << "RBCoDeSys" << 11 << 17 << false
                                 << "CoDeSys PLC project completely";
        QTest::newRow("code") << "RBCoDeSysCode" << 11 << 15 << false << "CoDeSys PLC program code";
        QTest::newRow("data") << "RBCoDeSysData" << 15 << 17 << false << "CoDeSys PLC data";
        QTest::newRow("retain") << "RBRetain" << 0 << 0 << true << "Retain values (NV RAM)";
    }

    void uploadChoice()
    {
        QFETCH(QString, button);
        DeviceType = DeviceKind::Device46xx;
        Settings.UploadOpt1 = Settings.UploadOpt2 = Settings.UploadOpt3 = true;
        Settings.UploadOpt4 = Settings.UploadOpt5 = Settings.UploadOpt6 = true;
        ImageState image;
        image.FirstSector = 4;
        image.EndSector = 7;
        image.RetainData = true;
        TBKChooseForm f(nullptr, image);
        QCOMPARE(f.windowTitle(), QStringLiteral("Upload options"));
        auto *rb = f.findChild<QRadioButton *>(button);
        QVERIFY(rb && rb->isEnabled());
        rb->click();
        f.ButtonOKClick();
        QTEST(image.FirstSector, "first");
        QTEST(image.EndSector, "end");
        QTEST(image.RetainData, "retain");
        QTEST(image.UploadChoiceText, "text");
    }

    void uploadChoiceOffersOnlyWhatIsEnabled()
    {
        DeviceType = DeviceKind::Device46xx;
        Settings.UploadOpt2 = true;
        Settings.UploadOpt6 = true;
        ImageState image;
        TBKChooseForm f(nullptr, image);
        QVERIFY(f.RBFlash->isChecked());
        QVERIFY(!f.RBOS->isEnabled());
        QVERIFY(f.RBParameter->isEnabled());
        QVERIFY(!f.RBCoDeSys->isEnabled());
        QVERIFY(!f.RBCoDeSysCode->isEnabled());
        QVERIFY(!f.RBCoDeSysData->isEnabled());
        QVERIFY(f.RBRetain->isEnabled());
    }

    void uploadChoiceForTheBoard()
    {
        DeviceType = DeviceKind::Board4610;
        Settings.UploadOpt1 = Settings.UploadOpt6 = true;
        ImageState image;
        TBKChooseForm f(nullptr, image);
        QCOMPARE(f.RBFlash->text(), QStringLiteral("VMC 4610 Firmware image with NV parameter"));
        for (QRadioButton *b :
             {f.RBOS, f.RBParameter, f.RBCoDeSys, f.RBCoDeSysCode, f.RBCoDeSysData, f.RBRetain})
            QVERIFY(!b->isEnabled());
        f.ButtonOKClick();
        QCOMPARE(image.FirstSector, 0);
        QCOMPARE(image.EndSector, 8);
        QCOMPARE(image.UploadChoiceText,
                 QStringLiteral("VMC 4610 Firmware image with NV parameter"));
        QVERIFY(!image.RetainData);
    }

    void initMappings()
    {
        const int brDefaultItems[] = {-1, 0, 1, 2, 3, 5};
        const int brDefaultCodes[] = {7, 3, 4, 6, 7, 7};
        for (int i = 0; i < 6; ++i)
            QCOMPARE(TBKInitForm::itemToBrDefault(brDefaultItems[i]), brDefaultCodes[i]);
        const int codes[] = {0, 3, 4, 5, 6, 7, 8, 255};
        const int brDefaultToItem[] = {3, 0, 1, 3, 2, 3, 3, 3};
        const int brCVBRDxToItem[] = {4, 0, 1, 4, 2, 3, 4, 4};
        const int canToItem[] = {0, 0, 0, 0, 1, 2, 0, 0};
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(TBKInitForm::brDefaultToItem(codes[i]), brDefaultToItem[i]);
            QCOMPARE(TBKInitForm::brCVBRDxToItem(codes[i]), brCVBRDxToItem[i]);
            QCOMPARE(TBKInitForm::canBaudrateToItem(codes[i]), canToItem[i]);
        }
        QCOMPARE(TBKInitForm::itemToBrCVBRDx(4), 8);
        QCOMPARE(TBKInitForm::itemToBrCVBRDx(-1), 8);
        QCOMPARE(TBKInitForm::itemToCanBaudrate(-1), 5);
        QCOMPARE(TBKInitForm::itemToCanBaudrate(2), 7);
    }

    void initOpensFromSettings()
    {
        TempSettings temp;
        Settings.brDefault = 8; // 115200 is not offered for the 46xx devices
        Settings.brCVBRDx = 6;
        Settings.UploadOpt3 = true;
        Settings.CANBaudrate = 5;
        Settings.CANIOPort = 5;
        Settings.CANInterrupt = 8;
        int port = 3;
        TBKInitForm f(nullptr, port);
        QCOMPARE(f.windowTitle(), QStringLiteral("Configuration"));
        QCOMPARE(f.PageControl->currentWidget(), f.TSInitCOM);
        QVERIFY(!f.PageControl->isTabVisible(1));
        QCOMPARE(f.PageControl->tabText(1), QStringLiteral("Init PEAK-CAN-Dongle"));
        QCOMPARE(f.CBCOMPort->count(), 16);
        QCOMPARE(f.CBCOMPort->itemText(15), QStringLiteral("COM 16"));
        QCOMPARE(f.CBCOMPort->currentText(), QStringLiteral("COM 4"));
        QCOMPARE(f.CBCOMPath->currentText(), QStringLiteral("/dev/ttyS3"));
        QCOMPARE(f.RGbrDefault->itemText(f.RGbrDefault->itemIndex()),
                 QStringLiteral("57600 bit/s"));
        QCOMPARE(f.RGbrCVBRDx->itemIndex(), 2);
        QCOMPARE(f.RGCANBaudrate->itemText(f.RGCANBaudrate->itemIndex()),
                 QStringLiteral("125 kBit/s"));
        QVERIFY(f.CBUploadOption3->isChecked());
        QVERIFY(!f.CBUploadOption1->isChecked());
        QCOMPARE(f.CBUploadOption6->text(), QStringLiteral("Retain values (NV RAM)"));
        QCOMPARE(f.CBIOPort->currentText(), QStringLiteral("0278h"));
        QCOMPARE(f.CBInterrupt->currentText(), QStringLiteral("15"));
        // The dongle is off: its controls are hidden.
        QVERIFY(f.LaCANBaudrate->isHidden());
        QVERIFY(f.CBEPP->isHidden());
        f.CBCANEnable->click();
        QVERIFY(!f.RGCANBaudrate->isHidden());
        QVERIFY(!f.CBIOPort->isHidden());

        f.ButtonOKClick();
        QCOMPARE(Settings.brDefault, quint8(7));
        QCOMPARE(Settings.brCVBRDx, quint8(6));
        QCOMPARE(Settings.CANBaudrate, quint8(5));
        QVERIFY(Settings.CANEnabled);
        QCOMPARE(port, 3);
    }

    void initOkStoresChoices()
    {
        TempSettings temp;
        int port = 0;
        TBKInitForm f(nullptr, port);
        f.CBCOMPort->setCurrentIndex(11);
        f.CBCOMPath->setEditText(QStringLiteral("/dev/ttyUSB7"));
        f.CBCOMPort->setCurrentIndex(0);
        QCOMPARE(f.CBCOMPath->currentText(), QStringLiteral("/dev/ttyS0"));
        f.CBCOMPort->setCurrentIndex(11);
        QCOMPARE(f.CBCOMPath->currentText(), QStringLiteral("/dev/ttyUSB7"));
        f.RGbrDefault->setItemIndex(1);
        f.RGbrCVBRDx->setItemIndex(4);
        f.CBDownloadOption1->setChecked(true);
        f.CBUploadOption5->setChecked(true);
        f.CBEPP->setChecked(true);
        f.RGCANBaudrate->setItemIndex(1);
        // No selection: the stored values stay.
        Settings.CANIOPort = 11;
        f.CBIOPort->setCurrentIndex(-1);
        f.CBInterrupt->setCurrentIndex(4);
        f.ButtonOKClick();
        QCOMPARE(port, 11);
        QCOMPARE(SettingsStore::comPortDevicePath(11), QStringLiteral("/dev/ttyUSB7"));
        QCOMPARE(Settings.brDefault, quint8(4));
        QCOMPARE(Settings.brCVBRDx, quint8(8));
        QVERIFY(Settings.DownloadOpt1);
        QVERIFY(Settings.UploadOpt5);
        QVERIFY(Settings.CANEPP);
        QCOMPARE(Settings.CANBaudrate, quint8(6));
        QCOMPARE(Settings.CANIOPort, quint8(11));
        QCOMPARE(Settings.CANInterrupt, quint8(4));
    }

    void initClearedPathRestoresTheDefault_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("typed");
        QTest::newRow("deleted with keys") << "/dev/ttyUSB9" << "<keys>";
        QTest::newRow("emptied") << "/dev/ttyUSB9" << "";
        QTest::newRow("blanks") << "/dev/ttyUSB9" << "   ";
        QTest::newRow("nothing stored") << "" << "";
    }

    void initClearedPathRestoresTheDefault()
    {
        QFETCH(QString, stored);
        QFETCH(QString, typed);
        TempSettings temp;
        if (!stored.isEmpty())
            QVERIFY(SettingsStore::setComPortDevicePath(3, stored));
        QVERIFY(SettingsStore::setComPortDevicePath(5, QStringLiteral("/dev/ttyACM5")));
        int port = 3;
        {
            TBKInitForm f(nullptr, port);
            QCOMPARE(f.CBCOMPath->currentText(),
                     stored.isEmpty() ? QStringLiteral("/dev/ttyS3") : stored);
            if (typed == "<keys>") {
                f.CBCOMPath->lineEdit()->selectAll();
                QTest::keyClick(f.CBCOMPath->lineEdit(), Qt::Key_Backspace);
                QCOMPARE(f.CBCOMPath->currentText(), QString());
            } else {
                f.CBCOMPath->setEditText(typed);
            }
            f.ButtonOKClick();
        }
        QCOMPARE(SettingsStore::comPortDevicePath(3), QStringLiteral("/dev/ttyS3"));
        QCOMPARE(SettingsStore::comPortDevicePath(5), QStringLiteral("/dev/ttyACM5"));
        TBKInitForm again(nullptr, port);
        QCOMPARE(again.CBCOMPath->currentText(), QStringLiteral("/dev/ttyS3"));
    }

    void initDonglePageCannotBeReached()
    {
        TempSettings temp;
        int port = 0;
        TBKInitForm f(nullptr, port);
        f.show();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        QSet<int> visited {f.PageControl->currentIndex()};
        connect(f.PageControl, &QTabWidget::currentChanged, this, [&](int i) { visited << i; });

        // Page switching keys from the device-path field, and from wherever the focus goes.
        f.CBCOMPath->setFocus();
        const auto press = [&](Qt::Key key, Qt::KeyboardModifiers modifiers) {
            QWidget *focus = QApplication::focusWidget();
            QTest::keyClick(focus ? focus : f.PageControl, key, modifiers);
        };
        for (int i = 0; i < 4; ++i)
            press(Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(visited, (QSet<int> {0, 2, 3}));
        for (int i = 0; i < 4; ++i)
            press(Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
        for (Qt::Key key : {Qt::Key_PageDown, Qt::Key_PageUp}) {
            for (int i = 0; i < 4; ++i)
                press(key, Qt::ControlModifier);
        }

        // The tab bar: arrow keys, the wheel and clicks along its whole width.
        QTabBar *tabs = f.PageControl->tabBar();
        tabs->setFocus();
        for (Qt::Key key : {Qt::Key_Right, Qt::Key_Left}) {
            for (int i = 0; i < 4; ++i)
                QTest::keyClick(tabs, key);
        }
        for (int delta : {-120, -120, -120, 120, 120, 120}) {
            const QPointF pos(tabs->width() / 2.0, tabs->height() / 2.0);
            QWheelEvent wheel(pos, tabs->mapToGlobal(pos), QPoint(), QPoint(0, delta), Qt::NoButton,
                              Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(tabs, &wheel);
        }
        for (int x = 1; x < tabs->width(); x += 4)
            QTest::mouseClick(tabs, Qt::LeftButton, {}, QPoint(x, tabs->height() / 2));

        QVERIFY(!visited.contains(1));
        QVERIFY(!f.CBCANEnable->isVisible());
        f.ButtonOKClick();
        QVERIFY(!Settings.CANEnabled);
    }

    void initPageKeysFromAnyFocus_data()
    {
        QTest::addColumn<QString>("focus");
        QTest::newRow("OK") << "ButtonOK";
        QTest::newRow("device path") << "CBCOMPath";
    }

    // Ctrl+Tab goes to the next page and Ctrl+Shift+Tab back, whether the focus is inside the
    // pages or on the dialog's buttons.
    void initPageKeysFromAnyFocus()
    {
        QFETCH(QString, focus);
        TempSettings temp;
        int port = 0;
        TBKInitForm f(nullptr, port);
        f.show();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        QWidget *start = f.findChild<QWidget *>(focus);
        QVERIFY(start);
        start->setFocus();
        const auto press = [&](Qt::Key key, Qt::KeyboardModifiers modifiers) {
            QWidget *at = QApplication::focusWidget();
            QTest::keyClick(at ? at : &f, key, modifiers);
        };
        press(Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(f.PageControl->currentWidget(), f.TSDownloadOptions);
        start->setFocus();
        press(Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(f.PageControl->currentWidget(), f.TSInitCOM);
    }

    void initTabEntersARateOnTheCheckedItem_data()
    {
        QTest::addColumn<QString>("group");
        QTest::addColumn<int>("rate"); // the stored code
        QTest::addColumn<int>("item");
        QTest::newRow("46xx at 57600") << "RGbrDefault" << 7 << 3;
        QTest::newRow("4610 at 115200") << "RGbrCVBRDx" << 8 << 4;
    }

    // Tab into a rate lands on the rate in use, so a Space there changes nothing.
    void initTabEntersARateOnTheCheckedItem()
    {
        QFETCH(QString, group);
        QFETCH(int, rate);
        QFETCH(int, item);
        TempSettings temp;
        Settings.brDefault = quint8(group == "RGbrDefault" ? rate : 7);
        Settings.brCVBRDx = quint8(group == "RGbrCVBRDx" ? rate : 7);
        int port = 0;
        TBKInitForm f(nullptr, port);
        f.show();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        auto *radios = f.findChild<TRadioGroup *>(group);
        QVERIFY(radios);
        f.CBCOMPath->setFocus();
        for (int i = 0; i < 10 && !radios->isAncestorOf(QApplication::focusWidget()); ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        auto *focused = qobject_cast<QRadioButton *>(QApplication::focusWidget());
        QVERIFY(focused && radios->isAncestorOf(focused));
        QVERIFY(focused->isChecked());
        QTest::keyClick(focused, Qt::Key_Space);
        QCOMPARE(radios->itemIndex(), item);
        // The arrows still move the choice, and Tab then stops at the new one.
        QTest::keyClick(focused, item == 0 ? Qt::Key_Down : Qt::Key_Up);
        QVERIFY(radios->itemIndex() != item);
        QCOMPARE(QApplication::focusWidget()->focusPolicy(), Qt::StrongFocus);
    }

    void initCancelChangesNothing()
    {
        TempSettings temp;
        int port = 2;
        const TSettings before = Settings;
        TBKInitForm f(nullptr, port);
        f.CBCOMPort->setCurrentIndex(5);
        f.CBCOMPath->setEditText(QStringLiteral("/dev/ttyACM0"));
        f.CBDownloadOption1->setChecked(true);
        f.RGbrDefault->setItemIndex(0);
        f.reject();
        QCOMPARE(f.result(), int(mrCancel));
        QCOMPARE(port, 2);
        QCOMPARE(Settings.DownloadOpt1, before.DownloadOpt1);
        QCOMPARE(Settings.brDefault, before.brDefault);
        QCOMPARE(SettingsStore::comPortDevicePath(5), QStringLiteral("/dev/ttyS5"));
    }
};

QTEST_MAIN(tst_Dialogs)
#include "tst_Dialogs.moc"
