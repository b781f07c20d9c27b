#pragma once

#include "shell/HexLayout.h"
#include "transfer/TransferRecord.h"

#include <QByteArray>
#include <QDialog>
#include <QList>
#include <QPointer>

class QCheckBox;
class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class THexViewer;

// The ranges of differing bytes that a compare found, listed beside the main window while the
// user looks at them. Choosing a range scrolls the viewer to it. While the list is open the
// viewer marks the differing bytes and, on request, shows the device's bytes in place of the
// image's; the image itself stays as it is. Closing the list clears both. Not modal.
class TDifferencesForm : public QDialog
{
    Q_OBJECT
public:
    // `marks`: the differing bytes themselves; `deviceBytes`: the image with the device's
    // bytes over the compared range.
    TDifferencesForm(QWidget *owner, THexViewer &viewer, const QList<CompareRange> &ranges,
                     qint64 bytesDiffering, QList<HexLayout::MarkRun> marks,
                     QByteArray deviceBytes);
    ~TDifferencesForm() override;

    QLabel *SummaryLabel = nullptr;
    QTreeWidget *RangeList = nullptr;
    QCheckBox *DeviceBytesBox = nullptr;
    QPushButton *CloseButton = nullptr;

    // Selects the range in that row and shows it in the viewer.
    void chooseRange(int row);

    // "3 bytes differ in 2 ranges", in the singular where a count is one.
    static QString summaryText(qint64 bytesDiffering, qsizetype ranges);
    // Where a window of `frameSize` goes so that it leaves `keepClear` (the bytes the list
    // points at) in view: beside it on the right, else on the left, else below, else above;
    // when none of these fits into `available`, in its right-hand corner.
    static QPoint placement(const QRect &keepClear, const QSize &frameSize, const QRect &available);

private:
    void showRange(QTreeWidgetItem *item);
    void showDeviceBytes(bool shown);
    void releaseViewer();

    QPointer<THexViewer> m_viewer;
    QList<CompareRange> m_ranges;
    QByteArray m_deviceBytes;
};
