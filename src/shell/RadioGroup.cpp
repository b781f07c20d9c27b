#include "shell/RadioGroup.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QRadioButton>
#include <QVBoxLayout>

TRadioGroup::TRadioGroup(const QStringList &items, QWidget *parent)
    : QGroupBox(parent), m_group(new QButtonGroup(this))
{
    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(2);
    for (int i = 0; i < items.size(); ++i) {
        auto *b = new QRadioButton(items.at(i), this);
        m_group->addButton(b, i);
        layout->addWidget(b);
    }
    connect(m_group, &QButtonGroup::idToggled, this, &TRadioGroup::updateTabStop);
    updateTabStop();
}

void TRadioGroup::updateTabStop()
{
    QAbstractButton *stop = m_group->checkedButton();
    if (!stop && !m_group->buttons().isEmpty())
        stop = m_group->button(0);
    for (QAbstractButton *b : m_group->buttons())
        b->setFocusPolicy(b == stop ? Qt::StrongFocus : Qt::ClickFocus);
}

int TRadioGroup::itemIndex() const
{
    return m_group->checkedId();
}

void TRadioGroup::setItemIndex(int index)
{
    if (QAbstractButton *b = m_group->button(index)) {
        b->setChecked(true);
    } else if (QAbstractButton *checked = m_group->checkedButton()) {
        m_group->setExclusive(false);
        checked->setChecked(false);
        m_group->setExclusive(true);
        updateTabStop();
    }
}

int TRadioGroup::count() const
{
    return int(m_group->buttons().size());
}

QString TRadioGroup::itemText(int index) const
{
    const QAbstractButton *b = m_group->button(index);
    return b ? b->text() : QString();
}
