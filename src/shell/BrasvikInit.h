#pragma once

#include "shell/BKDialog.h"

#include <QStringList>

class QCheckBox;
class QComboBox;
class QLabel;
class QTabWidget;
class QWidget;
class TRadioGroup;

// "Configuration": COM port and its device path, the baud rates of both device kinds, the
// CAN dongle parameters and which erase and upload choices are offered. OK writes the
// Settings record and the port index passed in; the record reaches the settings file at exit,
// a changed device path at once.
class TBKInitForm : public TBKDialog
{
    Q_OBJECT
public:
    TBKInitForm(QWidget *owner, int &portIndex);

    // Radio-group item <-> stored code.
    static int brDefaultToItem(int code);
    static int itemToBrDefault(int item);
    static int brCVBRDxToItem(int code);
    static int itemToBrCVBRDx(int item);
    static int canBaudrateToItem(int code);
    static int itemToCanBaudrate(int item);
    // The serial devices present, for the device-path list.
    static QStringList serialDevices();

    QTabWidget *PageControl = nullptr;
    QWidget *TSInitCOM = nullptr;
    QWidget *TabSheet1 = nullptr;
    QWidget *TSDownloadOptions = nullptr;
    QWidget *TSUploadOptions = nullptr;

    QComboBox *CBCOMPort = nullptr;
    QComboBox *CBCOMPath = nullptr;
    TRadioGroup *RGbrDefault = nullptr;
    TRadioGroup *RGbrCVBRDx = nullptr;

    QCheckBox *CBCANEnable = nullptr;
    QLabel *LaCANBaudrate = nullptr;
    TRadioGroup *RGCANBaudrate = nullptr;
    QLabel *LaIOPort = nullptr;
    QComboBox *CBIOPort = nullptr;
    QLabel *LaInterrupt = nullptr;
    QComboBox *CBInterrupt = nullptr;
    QCheckBox *CBEPP = nullptr;

    QCheckBox *CBDownloadOption1 = nullptr;
    QCheckBox *CBUploadOption1 = nullptr;
    QCheckBox *CBUploadOption2 = nullptr;
    QCheckBox *CBUploadOption3 = nullptr;
    QCheckBox *CBUploadOption4 = nullptr;
    QCheckBox *CBUploadOption5 = nullptr;
    QCheckBox *CBUploadOption6 = nullptr;

    void CBCANEnableClick();
    // The next (`step` 1) or previous (-1) page the user can reach.
    void switchPage(int step);

protected:
    void storeChoice() override;

private:
    void FormCreate();
    QWidget *buildComPage();
    QWidget *buildCanPage();
    QWidget *buildDownloadPage();
    QWidget *buildUploadPage();
    void portSelected(int index);
    void pathEdited(const QString &path);

    int &m_portIndex;
    QStringList m_paths; // device path per COM port as edited
    QStringList m_storedPaths; // as they were on opening
};
