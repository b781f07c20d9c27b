#include "shell/BKDialog.h"

#include <QBoxLayout>
#include <QPushButton>

TBKDialog::TBKDialog(QWidget *owner, const QString &caption)
    : QDialog(owner,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                  | Qt::WindowCloseButtonHint)
{
    setWindowTitle(caption);
    setModal(true);
    ButtonOK = new QPushButton(tr("&OK"), this);
    ButtonOK->setObjectName(QStringLiteral("ButtonOK"));
    ButtonOK->setDefault(true);
    ButtonCancel = new QPushButton(tr("&Cancel"), this);
    ButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));
    connect(ButtonOK, &QPushButton::clicked, this, &TBKDialog::ButtonOKClick);
    connect(ButtonCancel, &QPushButton::clicked, this, &TBKDialog::reject);
}

void TBKDialog::ButtonOKClick()
{
    storeChoice();
    done(mrOk);
}

void TBKDialog::reject()
{
    done(mrCancel);
}

void TBKDialog::finishLayout(QBoxLayout *mainLayout, QSize clientSize)
{
    auto *row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(ButtonOK);
    row->addWidget(ButtonCancel);
    mainLayout->addStretch(1);
    mainLayout->addLayout(row);
    setFixedSize(sizeHint().expandedTo(clientSize));
}
