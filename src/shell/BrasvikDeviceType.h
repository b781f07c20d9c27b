#pragma once

#include "base/DeviceKind.h"
#include "shell/BKDialog.h"

class QLabel;
class QRadioButton;

// "Select device type": stores the 46xx device or the 4610 board into DeviceType on OK. A type
// already chosen is preselected and the other one disabled. With none chosen, `suggested` is
// preselected and both stay open; without a suggestion OK waits for a click. The keyboard
// focus starts on the chosen type, so Enter confirms it.
class TBKDeviceTypeForm : public TBKDialog
{
    Q_OBJECT
public:
    explicit TBKDeviceTypeForm(QWidget *owner, DeviceKind suggested = DeviceKind::None);

    QLabel *Label1 = nullptr;
    QRadioButton *RBType46xx = nullptr;
    QRadioButton *RBTypeCVBRD1_Zx = nullptr;

    void RBClick();

protected:
    void storeChoice() override;
};
