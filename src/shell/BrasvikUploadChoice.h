#pragma once

#include "shell/BKDialog.h"

struct ImageState;
class QLabel;
class QRadioButton;

// The region an upload reads; what the configuration's upload options allow is offered.
// On OK it sets the image's FirstSector, EndSector, RetainData and UploadChoiceText.
class TBKChooseForm : public TBKDialog
{
    Q_OBJECT
public:
    TBKChooseForm(QWidget *owner, ImageState &image);

    QLabel *Label1 = nullptr;
    QRadioButton *RBFlash = nullptr;
    QRadioButton *RBOS = nullptr;
    QRadioButton *RBParameter = nullptr;
    QRadioButton *RBCoDeSys = nullptr;
    QRadioButton *RBCoDeSysCode = nullptr;
    QRadioButton *RBCoDeSysData = nullptr;
    QRadioButton *RBRetain = nullptr;

protected:
    void storeChoice() override;

private:
    ImageState &m_image;
};
