#include "shell/BrasvikUploadChoice.h"

#include "base/BKGlobal.h"
#include "core/ImageState.h"
#include "core/SectorMap.h"

#include <QFrame>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

QRadioButton *makeButton(QWidget *parent, const char *name, const QString &caption)
{
    auto *b = new QRadioButton(caption, parent);
    b->setObjectName(QLatin1String(name));
    return b;
}

} // namespace

TBKChooseForm::TBKChooseForm(QWidget *owner, ImageState &image)
    : TBKDialog(owner, tr("Upload options")), m_image(image)
{
    Label1 = new QLabel(tr("Please select the data to be uploaded"), this);
    const QString flashCaption = DeviceType == DeviceKind::Device46xx
        ? tr("FLASH memory completely (without NV RAM)")
        : tr("VMC 4610 Firmware image with NV parameter");
    RBFlash = makeButton(this, "RBFlash", flashCaption);
    RBOS = makeButton(this, "RBOS", tr("Operating system"));
    RBParameter = makeButton(this, "RBParameter", tr("Curve and system parameters"));
    RBCoDeSys = makeButton(this, "RBCoDeSys", tr("CoDeSys PLC project completely"));
    RBCoDeSysCode = makeButton(this, "RBCoDeSysCode", tr("CoDeSys PLC program code"));
    RBCoDeSysData = makeButton(this, "RBCoDeSysData", tr("CoDeSys PLC data"));
    RBRetain = makeButton(this, "RBRetain", tr("Retain values (NV RAM)"));
    auto *line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addSpacing(6);
    for (QRadioButton *b : {RBFlash, RBOS, RBParameter, RBCoDeSys, RBCoDeSysCode, RBCoDeSysData})
        layout->addWidget(b);
    layout->addWidget(line);
    layout->addWidget(RBRetain);
    finishLayout(layout, QSize(297, 256));

    RBFlash->setChecked(true);
    const bool is46xx = DeviceType == DeviceKind::Device46xx;
    RBOS->setEnabled(is46xx && Settings.UploadOpt1);
    RBParameter->setEnabled(is46xx && Settings.UploadOpt2);
    RBCoDeSys->setEnabled(is46xx && Settings.UploadOpt3);
    RBCoDeSysCode->setEnabled(is46xx && Settings.UploadOpt4);
    RBCoDeSysData->setEnabled(is46xx && Settings.UploadOpt5);
    RBRetain->setEnabled(is46xx && Settings.UploadOpt6);
}

void TBKChooseForm::storeChoice()
{
    struct Region
    {
        QRadioButton *button;
        qint32 first;
        qint32 end;
    };
    const qint32 flashEnd = DeviceType == DeviceKind::Board4610 ? EndSector4610 : 0;
    const Region regions[] = {
        {RBFlash, 0, flashEnd},
        {RBOS, 0, OperatingSystemEndSector},
        {RBCoDeSys, OperatingSystemEndSector, 17},
        {RBCoDeSysCode, OperatingSystemEndSector, 15},
        {RBCoDeSysData, 15, 17},
        {RBParameter, 17, SectorCount},
    };
    m_image.RetainData = false;
    m_image.FirstSector = 0;
    m_image.EndSector = 0;
    for (const Region &r : regions) {
        if (r.button->isChecked()) {
            m_image.FirstSector = r.first;
            m_image.EndSector = r.end;
            m_image.UploadChoiceText = r.button->text();
            return;
        }
    }
    m_image.UploadChoiceText = RBRetain->text();
    m_image.RetainData = true;
}
