#pragma once

#include <QGroupBox>

class QButtonGroup;

// A group box of radio items addressed by index, -1 for none.
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
    QButtonGroup *m_group;
};
