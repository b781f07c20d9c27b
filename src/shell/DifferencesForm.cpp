#include "shell/DifferencesForm.h"

#include "shell/HexViewer.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// Room around a column's text: the view's margins and its focus frame.
constexpr int ColumnPadding = 16;
// Between the list and the bytes it points at.
constexpr int Gap = 8;

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

    SummaryLabel = new QLabel(summaryText(bytesDiffering, ranges.size()), this);
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
    RangeList->header()->setStretchLastSection(false);
    // An address is read whole or not at all: the columns are as wide as their widest text,
    // measured here, as the view sizes its columns from the rows it has laid out so far.
    for (int column = 0; column < RangeList->columnCount(); ++column) {
        int widest = RangeList->header()->sectionSizeHint(column);
        for (const QTreeWidgetItem *item : std::as_const(items))
            widest
                = std::max(widest, RangeList->fontMetrics().horizontalAdvance(item->text(column)));
        RangeList->header()->setSectionResizeMode(column, QHeaderView::Fixed);
        RangeList->header()->resizeSection(column, widest + ColumnPadding);
    }
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
    if (!item || !m_viewer)
        return;
    const CompareRange &range = m_ranges.at(RangeList->indexOfTopLevelItem(item));
    m_viewer->scrollToAddress(range.start);
    m_viewer->setCurrentMark({range.start, range.end + 1});
}

void TDifferencesForm::showDeviceBytes(bool shown)
{
    if (m_viewer)
        m_viewer->setShownBytes(shown ? &m_deviceBytes : nullptr,
                                QStringLiteral("The device's bytes are shown, not the image's. "
                                               "The image itself is unchanged."));
}

QString TDifferencesForm::summaryText(qint64 bytesDiffering, qsizetype ranges)
{
    return QStringLiteral("%1 %2 in %3 %4")
        .arg(bytesDiffering)
        .arg(bytesDiffering == 1 ? QStringLiteral("byte differs") : QStringLiteral("bytes differ"))
        .arg(ranges)
        .arg(ranges == 1 ? QStringLiteral("range") : QStringLiteral("ranges"));
}

QPoint TDifferencesForm::placement(const QRect &keepClear, const QSize &frameSize,
                                   const QRect &available)
{
    const int w = frameSize.width();
    const int h = frameSize.height();
    const auto clampX = [&](int x) {
        return std::clamp(x, available.left(),
                          std::max(available.left(), available.right() + 1 - w));
    };
    const auto clampY = [&](int y) {
        return std::clamp(y, available.top(),
                          std::max(available.top(), available.bottom() + 1 - h));
    };
    if (h <= available.height()) {
        if (keepClear.right() + 1 + Gap + w <= available.right() + 1)
            return {keepClear.right() + 1 + Gap, clampY(keepClear.top())};
        if (keepClear.left() - Gap - w >= available.left())
            return {keepClear.left() - Gap - w, clampY(keepClear.top())};
    }
    if (w <= available.width()) {
        if (keepClear.bottom() + 1 + Gap + h <= available.bottom() + 1)
            return {clampX(keepClear.left()), keepClear.bottom() + 1 + Gap};
        if (keepClear.top() - Gap - h >= available.top())
            return {clampX(keepClear.left()), keepClear.top() - Gap - h};
    }
    return {clampX(available.right() + 1 - w), clampY(available.top())};
}

void TDifferencesForm::releaseViewer()
{
    if (!m_viewer)
        return;
    m_viewer->setMarks({});
    m_viewer->setShownBytes(nullptr);
    m_viewer = nullptr;
}
