#pragma once

#include "shell/BKDialog.h"

class QLabel;
class QRadioButton;

// "Select device type": stores the 46xx device or the 4610 board into DeviceType on OK. A type
// already chosen is preselected and the other one disabled; with none chosen, OK waits for a
// click.
class TBKDeviceTypeForm : public TBKDialog
{
    Q_OBJECT
public:
    explicit TBKDeviceTypeForm(QWidget *owner);

    QLabel *Label1 = nullptr;
    QRadioButton *RBType46xx = nullptr;
    QRadioButton *RBTypeCVBRD1_Zx = nullptr;

    void RBClick();

protected:
    void storeChoice() override;
};
