#pragma once

#include "shell/BKDialog.h"

struct ImageState;
class QLabel;
class QRadioButton;

// "H86 Download options": erase only the sectors the image occupies, or the whole flash.
// On OK it sets the sector range of the download in the image.
class TBKOptionsForm : public TBKDialog
{
    Q_OBJECT
public:
    TBKOptionsForm(QWidget *owner, ImageState &image);

    QLabel *Label1 = nullptr;
    QRadioButton *RBOS = nullptr;
    QRadioButton *RBFlash = nullptr;

protected:
    void storeChoice() override;

private:
    ImageState &m_image;
};
