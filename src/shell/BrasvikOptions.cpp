#include "shell/BrasvikOptions.h"

#include "base/BKGlobal.h"
#include "core/ImageState.h"
#include "core/SectorMap.h"

#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

TBKOptionsForm::TBKOptionsForm(QWidget *owner, ImageState &image)
    : TBKDialog(owner, tr("H86 Download options")), m_image(image)
{
    Label1 = new QLabel(tr("Please select the option for erasing the FLASH"), this);
    RBOS = new QRadioButton(tr("Erase the operating system sectors only"), this);
    RBOS->setObjectName(QStringLiteral("RBOS"));
    RBFlash = new QRadioButton(tr("Erase the FLASH completely"), this);
    RBFlash->setObjectName(QStringLiteral("RBFlash"));

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addSpacing(6);
    layout->addWidget(RBOS);
    layout->addWidget(RBFlash);
    finishLayout(layout, QSize(273, 128));

    RBOS->setChecked(true);
    if (DeviceType == DeviceKind::Device46xx) {
        RBFlash->setEnabled(Settings.DownloadOpt1);
    } else {
        // The board's flash is always erased as a whole.
        RBFlash->setChecked(true);
        RBOS->setEnabled(false);
    }
}

void TBKOptionsForm::storeChoice()
{
    if (RBOS->isChecked()) {
        m_image.EndSector = LastSectorBelow(m_image.DataEnd) + 1;
    } else {
        m_image.FirstSector = 0;
        m_image.EndSector = 0;
    }
}
