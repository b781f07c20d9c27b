#pragma once

#include <QGroupBox>

class QButtonGroup;

// A group box of radio items addressed by index, -1 for none. Tab enters the group on its
// checked item (on the first while none is checked), so that Space there changes nothing; the
// arrow keys move between the items.
class TRadioGroup : public QGroupBox
{
    Q_OBJECT
public:
    TRadioGroup(const QStringList &items, QWidget *parent = nullptr);

    int itemIndex() const;
    void setItemIndex(int index);
    int count() const;
    QString itemText(int index) const;

private:
    void updateTabStop();

    QButtonGroup *m_group;
};
