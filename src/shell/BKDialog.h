#pragma once

#include "base/ModalResult.h"

#include <QDialog>

class QBoxLayout;
class QPushButton;

// Common look of the small modal dialogs: fixed size, title bar with only the close box, an
// "&OK" default button that stores the choice and a "&Cancel" button that changes nothing.
// exec() returns mrOk or mrCancel (closing the window counts as Cancel).
class TBKDialog : public QDialog
{
    Q_OBJECT
public:
    TBKDialog(QWidget *owner, const QString &caption);

    QPushButton *ButtonOK = nullptr;
    QPushButton *ButtonCancel = nullptr;

    // Stores the dialog's choice and closes it with mrOk.
    void ButtonOKClick();
    void reject() override;

protected:
    // Puts the two buttons, right-aligned, at the end of the dialog's main layout and fixes
    // the size to at least the designed client size.
    void finishLayout(QBoxLayout *mainLayout, QSize clientSize);
    // The dialog's OK handler proper.
    virtual void storeChoice() = 0;
};
