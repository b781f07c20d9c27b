#include "shell/BrasvikInterface.h"

#include "base/BKGlobal.h"

#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

TBKInterfaceForm::TBKInterfaceForm(QWidget *owner) : TBKDialog(owner, tr("Interface"))
{
    Label1 = new QLabel(
        tr("Please select the interface of the VMC 46xx for the communication in boot strap mode"),
        this);
    Label1->setWordWrap(true);
    RBCOM1 = new QRadioButton(tr("RS 232 C (COM 1) interface only"), this);
    RBCOM1->setObjectName(QStringLiteral("RBCOM1"));
    RBCAN1 = new QRadioButton(tr("RS 232 C (COM 1) and CAN1 interface"), this);
    RBCAN1->setObjectName(QStringLiteral("RBCAN1"));
    RBCAN2 = new QRadioButton(tr("RS 232 C (COM 1) and CAN2 interface"), this);
    RBCAN2->setObjectName(QStringLiteral("RBCAN2"));

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addSpacing(6);
    layout->addWidget(RBCOM1);
    layout->addWidget(RBCAN1);
    layout->addWidget(RBCAN2);
    finishLayout(layout, QSize(273, 168));

    if (Settings.COMInterface == InterfaceCAN1)
        RBCAN1->setChecked(true);
    else if (Settings.COMInterface == InterfaceCAN2)
        RBCAN2->setChecked(true);
    else
        RBCOM1->setChecked(true);
}

void TBKInterfaceForm::storeChoice()
{
    if (RBCAN1->isChecked())
        Settings.COMInterface = InterfaceCAN1;
    else if (RBCAN2->isChecked())
        Settings.COMInterface = InterfaceCAN2;
    else
        Settings.COMInterface = InterfaceRS232;
}
