#include "shell/DifferencesForm.h"

#include "shell/HexViewer.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QString hexAddress(qint32 address)
{
    return QStringLiteral("%1").arg(address, 6, 16, QLatin1Char('0')).toUpper() + u'h';
}

} // namespace

TDifferencesForm::TDifferencesForm(QWidget *owner, THexViewer &viewer,
                                   const QList<CompareRange> &ranges, qint64 bytesDiffering,
                                   QList<HexLayout::MarkRun> marks, QByteArray deviceBytes)
    : QDialog(owner), m_viewer(&viewer), m_ranges(ranges), m_deviceBytes(std::move(deviceBytes))
{
    setObjectName(QStringLiteral("TDifferencesForm"));
    setWindowTitle(QStringLiteral("Differences"));
    setModal(false);

    SummaryLabel = new QLabel(
        QStringLiteral("%1 bytes differ in %2 ranges").arg(bytesDiffering).arg(ranges.size()),
        this);
    RangeList = new QTreeWidget(this);
    RangeList->setObjectName(QStringLiteral("RangeList"));
    RangeList->setRootIsDecorated(false);
    RangeList->setUniformRowHeights(true);
    RangeList->setHeaderLabels({QStringLiteral("Start"), QStringLiteral("End"),
                                QStringLiteral("Bytes"), QStringLiteral("Sector")});
    QList<QTreeWidgetItem *> items;
    items.reserve(ranges.size());
    for (const CompareRange &range : ranges) {
        auto *item = new QTreeWidgetItem(
            {hexAddress(range.start), hexAddress(range.end), QString::number(range.bytes),
             range.sector >= 0 ? QString::number(range.sector) : QStringLiteral("-")});
        item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
        item->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
        items.append(item);
    }
    RangeList->addTopLevelItems(items);
    RangeList->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    // A click on the current range shows it again after the viewer was scrolled away.
    connect(RangeList, &QTreeWidget::currentItemChanged, this, &TDifferencesForm::showRange);
    connect(RangeList, &QTreeWidget::itemClicked, this, &TDifferencesForm::showRange);

    DeviceBytesBox = new QCheckBox(QStringLiteral("Show the device's bytes"), this);
    DeviceBytesBox->setObjectName(QStringLiteral("DeviceBytesBox"));
    connect(DeviceBytesBox, &QCheckBox::toggled, this, &TDifferencesForm::showDeviceBytes);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    CloseButton = buttons->button(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(SummaryLabel);
    layout->addWidget(RangeList, 1);
    layout->addWidget(DeviceBytesBox);
    layout->addWidget(buttons);
    resize(360, 420);

    // Closing the list (Close, Esc, the close box) ends the marks and the device's view.
    connect(this, &QDialog::finished, this, [this] {
        releaseViewer();
        deleteLater();
    });
    viewer.setMarks(std::move(marks));
}

TDifferencesForm::~TDifferencesForm()
{
    releaseViewer();
}

void TDifferencesForm::chooseRange(int row)
{
    if (row >= 0 && row < RangeList->topLevelItemCount())
        RangeList->setCurrentItem(RangeList->topLevelItem(row));
}

void TDifferencesForm::showRange(QTreeWidgetItem *item)
{
    if (item && m_viewer)
        m_viewer->scrollToAddress(m_ranges.at(RangeList->indexOfTopLevelItem(item)).start);
}

void TDifferencesForm::showDeviceBytes(bool shown)
{
    if (m_viewer)
        m_viewer->setShownBytes(shown ? &m_deviceBytes : nullptr);
}

void TDifferencesForm::releaseViewer()
{
    if (!m_viewer)
        return;
    m_viewer->setMarks({});
    m_viewer->setShownBytes(nullptr);
    m_viewer = nullptr;
}
