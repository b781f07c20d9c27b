#pragma once

#include "shell/HexLayout.h"

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QList>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

struct ImageState;
class QLabel;
class QScrollBar;
class QPainter;
class THexTextPainter;

// A paint box: a plain widget whose painting is done by its owner's handler.
class TPaintBox : public QWidget
{
    Q_OBJECT
public:
    explicit TPaintBox(QWidget *parent = nullptr);
    std::function<void(QPainter &)> OnPaint;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// The flat column header above the viewer: an empty section over the addresses, then "0" to
// "F" over the data bytes.
class THeaderControl : public QWidget
{
    Q_OBJECT
public:
    explicit THeaderControl(QWidget *parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// The hex dump of the image: address, data and character columns with one vertical scroll
// bar. It only displays; the image it shows belongs to the main window. Left and Right jump
// between the sector starts of the device type.
class THexViewer : public QWidget
{
    Q_OBJECT
public:
    enum Column { AddrColumn, DataColumn, AsciiColumn };

    static constexpr int AddrWidth = 57;
    static constexpr int DataWidth = 385;
    static constexpr int ScrollBarWidth = 16;
    static constexpr int TextX = 4;

    explicit THexViewer(QWidget *parent = nullptr);
    ~THexViewer() override;

    // The image to show; it must outlive the viewer.
    void setImage(const ImageState *image);

    THeaderControl *HeaderControl1 = nullptr;
    QFrame *AddrPanel = nullptr;
    QFrame *DataPanel = nullptr;
    QFrame *ASCIIPanel = nullptr;
    TPaintBox *AddrBox = nullptr;
    TPaintBox *DataBox = nullptr;
    TPaintBox *ASCIIBox = nullptr;
    QScrollBar *VScrollBar = nullptr;

    int LineHeight() const { return m_lineHeight; }
    QFont boxFont() const { return m_font; }

    void AddrBoxPaint(QPainter &painter);
    void DataBoxPaint(QPainter &painter);
    void ASCIIBoxPaint(QPainter &painter);
    // Repaints the three columns.
    void RepaintView();
    // Recomputes the large step and the scroll range after the address panel changed its
    // height.
    void AddrPanelResize();

    // Sets the scroll range for ViewSize; with `enable` the bar is enabled and focused.
    void setScrollRange(bool enable);
    // Moves to the top; repaints even when the view already was there.
    void moveToTop();
    // The arrow-key sector jump; false when the key is not one the viewer takes.
    bool SectorJump(int key);

    // The lines a column paints at the current position and panel height.
    QStringList paintLines(Column column) const;
    // Address of the first visible line.
    qint32 topAddress() const;
    // The part of the viewer that shows the bytes: the header and the three columns up to the
    // end of the characters, in the viewer's coordinates.
    QRect bytesRect() const;

    // Marks bytes (a compare's differences) in the data and character columns; an empty list
    // clears the marks.
    void setMarks(QList<HexLayout::MarkRun> runs);
    const QList<HexLayout::MarkRun> &marks() const { return m_marks; }
    // Marks the run the user has chosen among the marks in a colour of its own; an empty run
    // ends that.
    void setCurrentMark(HexLayout::MarkRun run);
    // Shows `bytes`, addressed as the image, in place of the image's buffer, with `notice`
    // above the columns saying whose they are; nullptr shows the image again. The image itself
    // is not touched; `bytes` must live while they are shown.
    void setShownBytes(const QByteArray *bytes, const QString &notice = QString());
    bool showsOtherBytes() const { return m_shown != nullptr; }
    QLabel *ShownBytesNotice = nullptr;
    // Scrolls so that the line holding `address` is the first visible one (or as near as the
    // scroll range allows).
    void scrollToAddress(qint32 address);
    // Background and text of a marked byte, and of one in the chosen run. Neither is the
    // palette's highlight: a mark must not pass for a selection.
    static QColor markBackground(bool current = false);
    static QColor markText(bool current = false);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void paintColumn(QPainter &painter, Column column, const QColor &background);
    int columnHeight() const;
    void updateScrollMaximum();

    void paintMarks(QPainter &painter, Column column, quint16 marks, int y,
                    const QColor &background) const;

    const ImageState *m_image = nullptr;
    const QByteArray *m_shown = nullptr;
    QList<HexLayout::MarkRun> m_marks;
    HexLayout::MarkRun m_current;
    QFont m_font;
    int m_lineHeight = 13;
    std::unique_ptr<THexTextPainter> m_text;
};
