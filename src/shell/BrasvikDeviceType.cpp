#include "shell/BrasvikDeviceType.h"

#include "base/BKGlobal.h"

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

TBKDeviceTypeForm::TBKDeviceTypeForm(QWidget *owner, DeviceKind suggested)
    : TBKDialog(owner, tr("Select device type"))
{
    Label1 = new QLabel(tr("Please select the device type"), this);
    Label1->setAlignment(Qt::AlignCenter);
    RBType46xx = new QRadioButton(tr("VMC 4630, 4640, 4650 or VD200"), this);
    RBType46xx->setObjectName(QStringLiteral("RBType46xx"));
    RBTypeCVBRD1_Zx = new QRadioButton(tr("VMC 4610 converter board"), this);
    RBTypeCVBRD1_Zx->setObjectName(QStringLiteral("RBTypeCVBRD1_Zx"));
    connect(RBType46xx, &QRadioButton::clicked, this, &TBKDeviceTypeForm::RBClick);
    connect(RBTypeCVBRD1_Zx, &QRadioButton::clicked, this, &TBKDeviceTypeForm::RBClick);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addSpacing(6);
    layout->addWidget(RBType46xx);
    layout->addWidget(RBTypeCVBRD1_Zx);
    finishLayout(layout, QSize(281, 126));

    ButtonOK->setEnabled(false);
    // A type already chosen is confirmed, not changed: preselect it and lock the other.
    if (DeviceType == DeviceKind::Device46xx) {
        RBType46xx->setChecked(true);
        RBTypeCVBRD1_Zx->setEnabled(false);
        RBClick();
    } else if (DeviceType == DeviceKind::Board4610) {
        RBTypeCVBRD1_Zx->setChecked(true);
        RBType46xx->setEnabled(false);
        RBClick();
    } else if (suggested != DeviceKind::None) {
        (suggested == DeviceKind::Board4610 ? RBTypeCVBRD1_Zx : RBType46xx)->setChecked(true);
        RBClick();
    }
    // Not on Cancel, the first button that takes the focus: Enter would drop the command.
    (RBTypeCVBRD1_Zx->isChecked() ? RBTypeCVBRD1_Zx : RBType46xx)->setFocus();
}

void TBKDeviceTypeForm::RBClick()
{
    ButtonOK->setEnabled(true);
}

void TBKDeviceTypeForm::storeChoice()
{
    if (RBType46xx->isChecked())
        DeviceType = DeviceKind::Device46xx;
    else if (RBTypeCVBRD1_Zx->isChecked())
        DeviceType = DeviceKind::Board4610;
}
