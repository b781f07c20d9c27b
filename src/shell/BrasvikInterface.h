#pragma once

#include "shell/BKDialog.h"

class QLabel;
class QRadioButton;

// "Interface": how a 46xx device in bootstrap mode is reached (COMInterface).
class TBKInterfaceForm : public TBKDialog
{
    Q_OBJECT
public:
    explicit TBKInterfaceForm(QWidget *owner);

    QLabel *Label1 = nullptr;
    QRadioButton *RBCOM1 = nullptr;
    QRadioButton *RBCAN1 = nullptr;
    QRadioButton *RBCAN2 = nullptr;

protected:
    void storeChoice() override;
};
