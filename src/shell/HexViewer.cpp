#include "shell/HexViewer.h"

#include "base/BKGlobal.h"
#include "core/ImageState.h"
#include "shell/HexLayout.h"
#include "shell/HexTextPainter.h"

#include <algorithm>
#include <cmath>

#include <QCoreApplication>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionHeader>
#include <QVBoxLayout>
#include <QtMath>

namespace {

constexpr int FontPixelSize = 13;
// The header's small caption font, at a size that stays legible with today's UI fonts.
constexpr int HeaderFontPixelSize = 11;
constexpr int HeaderFirstSection = 58;
constexpr int HeaderSection = 24;
const QColor AddrBackground(227, 227, 227);
const QColor AsciiBackground(255, 255, 206);

QFrame *makePanel(QWidget *parent, const char *name)
{
    auto *panel = new QFrame(parent);
    panel->setObjectName(QLatin1String(name));
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setLineWidth(1);
    return panel;
}

TPaintBox *makeBox(QFrame *panel, const char *name)
{
    auto *box = new TPaintBox(panel);
    box->setObjectName(QLatin1String(name));
    auto *layout = new QHBoxLayout(panel);
    layout->setContentsMargins(panel->frameWidth(), panel->frameWidth(), panel->frameWidth(),
                               panel->frameWidth());
    layout->setSpacing(0);
    layout->addWidget(box, 1);
    return box;
}

// Control characters have no glyph and no advance of their own; drawn as blanks they keep
// every following character in its cell.
QString printable(QString s)
{
    for (QChar &c : s) {
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0))
            c = u' ';
    }
    return s;
}

} // namespace

TPaintBox::TPaintBox(QWidget *parent) : QWidget(parent)
{
    // The handler paints every pixel, so Qt need not clear the box first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPaintBox::paintEvent(QPaintEvent *)
{
    if (!OnPaint)
        return;
    QPainter painter(this);
    OnPaint(painter);
}

THeaderControl::THeaderControl(QWidget *parent) : QWidget(parent)
{
    QFont f = font();
    f.setPixelSize(HeaderFontPixelSize);
    setFont(f);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize THeaderControl::sizeHint() const
{
    return {HeaderFirstSection + 16 * HeaderSection, fontMetrics().height() + 6};
}

void THeaderControl::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    QStyleOptionHeader opt;
    opt.initFrom(this);
    opt.textAlignment = Qt::AlignCenter;
    opt.state |= QStyle::State_Raised;
    auto section = [&](int x, int w, const QString &text) {
        opt.rect = QRect(x, 0, w, height());
        opt.text = text;
        style()->drawControl(QStyle::CE_Header, &opt, &p, this);
    };
    section(0, HeaderFirstSection, QString());
    int x = HeaderFirstSection;
    for (int i = 0; i < 16; ++i, x += HeaderSection)
        section(x, HeaderSection, QString::number(i, 16).toUpper());
    section(x, std::max(0, width() - x), QString());
}

THexViewer::THexViewer(QWidget *parent) : QWidget(parent)
{
    m_font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    m_font.setPixelSize(FontPixelSize);
    m_font.setStyleHint(QFont::TypeWriter);
    m_lineHeight = std::abs(m_font.pixelSize());
    m_text = std::make_unique<THexTextPainter>(m_font);

    HeaderControl1 = new THeaderControl(this);
    HeaderControl1->setObjectName(QStringLiteral("HeaderControl1"));
    AddrPanel = makePanel(this, "AddrPanel");
    DataPanel = makePanel(this, "DataPanel");
    ASCIIPanel = makePanel(this, "ASCIIPanel");
    AddrPanel->setFixedWidth(AddrWidth);
    DataPanel->setFixedWidth(DataWidth);
    AddrBox = makeBox(AddrPanel, "AddrBox");
    DataBox = makeBox(DataPanel, "DataBox");
    ASCIIBox = makeBox(ASCIIPanel, "ASCIIBox");
    for (TPaintBox *box : {AddrBox, DataBox, ASCIIBox})
        box->setFont(m_font);
    AddrBox->OnPaint = [this](QPainter &p) {
        AddrBoxPaint(p);
    };
    DataBox->OnPaint = [this](QPainter &p) {
        DataBoxPaint(p);
    };
    ASCIIBox->OnPaint = [this](QPainter &p) {
        ASCIIBoxPaint(p);
    };

    VScrollBar = new QScrollBar(Qt::Vertical, ASCIIPanel);
    VScrollBar->setObjectName(QStringLiteral("VScrollBar"));
    VScrollBar->setFixedWidth(ScrollBarWidth);
    VScrollBar->setFocusPolicy(Qt::ClickFocus);
    VScrollBar->setSingleStep(m_lineHeight);
    VScrollBar->setRange(0, HexLayout::scrollMaximum(0x100000, m_lineHeight));
    VScrollBar->setEnabled(false);
    static_cast<QHBoxLayout *>(ASCIIPanel->layout())->addWidget(VScrollBar);
    AddrPanel->installEventFilter(this);
    // The wheel scrolls over the whole dump, not only over the bar.
    for (TPaintBox *box : {AddrBox, DataBox, ASCIIBox})
        box->installEventFilter(this);
    connect(VScrollBar, &QScrollBar::valueChanged, this, &THexViewer::RepaintView);

    auto *columns = new QHBoxLayout;
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(0);
    columns->addWidget(AddrPanel);
    columns->addWidget(DataPanel);
    columns->addWidget(ASCIIPanel, 1);
    // Other bytes than the image's must never pass for the image: a bar says so above them.
    ShownBytesNotice = new QLabel(this);
    ShownBytesNotice->setObjectName(QStringLiteral("ShownBytesNotice"));
    ShownBytesNotice->setWordWrap(true);
    ShownBytesNotice->setContentsMargins(6, 3, 6, 3);
    ShownBytesNotice->setStyleSheet(
        QStringLiteral("QLabel { background: #963232; color: white; font-weight: bold; }"));
    ShownBytesNotice->setVisible(false);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(ShownBytesNotice);
    layout->addWidget(HeaderControl1);
    layout->addLayout(columns, 1);
}

THexViewer::~THexViewer() = default;

void THexViewer::setImage(const ImageState *image)
{
    m_image = image;
    RepaintView();
}

int THexViewer::columnHeight() const
{
    // The address panel's client height; its box fills it.
    return AddrPanel->contentsRect().height();
}

qint32 THexViewer::topAddress() const
{
    return HexLayout::firstLineAddress(VScrollBar->value(), m_lineHeight);
}

QRect THexViewer::bytesRect() const
{
    const int asciiEnd = ASCIIBox->mapTo(this, QPoint(0, 0)).x() + TextX
        + qCeil((HexLayout::AsciiChars + 1) * m_text->cellWidth());
    return QRect(0, 0, std::min(width(), asciiEnd), height());
}

QStringList THexViewer::paintLines(Column column) const
{
    using namespace HexLayout;
    const int total = visibleLines(columnHeight(), m_lineHeight);
    QStringList lines;
    lines.reserve(total);
    if (m_image && m_image->hasImage()) {
        const QByteArrayView buffer(m_shown ? *m_shown : m_image->ImageBuffer);
        // A buffer shorter than ViewSize (an upload of another length) ends the dump: lines
        // wholly beyond it are blank.
        const qint64 end = std::min<qint64>(m_image->ViewSize, buffer.size());
        for (qint32 address = topAddress(); lines.size() < total && address < end;
             address += BytesPerLine) {
            switch (column) {
            case AddrColumn:
                lines << addressText(address);
                break;
            case DataColumn:
                lines << dataText(lineBytes(buffer, address));
                break;
            case AsciiColumn:
                lines << asciiText(lineBytes(buffer, address));
                break;
            }
        }
    }
    const int blank = column == AddrColumn ? AddressBlankChars
        : column == DataColumn             ? DataBlankChars
                                           : AsciiBlankChars;
    while (lines.size() < total)
        lines << QString(blank, u' ');
    return lines;
}

void THexViewer::paintColumn(QPainter &painter, Column column, const QColor &background)
{
    TPaintBox *box = column == AddrColumn ? AddrBox : column == DataColumn ? DataBox : ASCIIBox;
    painter.fillRect(box->rect(), background);
    painter.setFont(m_font);
    painter.setPen(palette().color(QPalette::WindowText));
    const QFontMetrics fm(m_font);
    const int ascent = fm.ascent() - (fm.height() - m_lineHeight) / 2;
    const QStringList lines = paintLines(column);
    const bool marked = column != AddrColumn && !m_marks.isEmpty();
    const QList<HexLayout::MarkRun> current {m_current};
    const auto cellsOf = [column](quint16 bytes) {
        return column == DataColumn ? HexLayout::dataCells(bytes) : HexLayout::asciiCells(bytes);
    };
    qint32 address = topAddress();
    int y = 0;
    for (const QString &line : lines) {
        const quint16 marks = marked ? HexLayout::lineMarks(m_marks, address) : 0;
        const quint16 chosen = marks ? marks & HexLayout::lineMarks(current, address) : 0;
        if (marks & ~chosen)
            paintMarks(painter, column, marks & ~chosen, y, markBackground(false));
        if (chosen)
            paintMarks(painter, column, chosen, y, markBackground(true));
        m_text->draw(painter, QPointF(TextX, y + ascent),
                     column == AsciiColumn ? printable(line) : line, cellsOf(marks & ~chosen),
                     markText(false), cellsOf(chosen), markText(true));
        y += m_lineHeight;
        address += HexLayout::BytesPerLine;
    }
}

void THexViewer::paintMarks(QPainter &painter, Column column, quint16 marks, int y,
                            const QColor &background) const
{
    // One rectangle per run of marked bytes; in the data column it spans the blanks between
    // the bytes of a run, so a run reads as one.
    const qreal cell = m_text->cellWidth();
    const int perByte = column == DataColumn ? 3 : 1;
    const int width = column == DataColumn ? 2 : 1;
    for (int i = 0; i < HexLayout::BytesPerLine;) {
        if (!(marks & (1u << i))) {
            ++i;
            continue;
        }
        int j = i;
        while (j + 1 < HexLayout::BytesPerLine && (marks & (1u << (j + 1))))
            ++j;
        const qreal left = TextX + i * perByte * cell;
        const qreal right = TextX + (j * perByte + width) * cell;
        painter.fillRect(QRectF(left, y, right - left, m_lineHeight), background);
        i = j + 1;
    }
}

QColor THexViewer::markBackground(bool current)
{
    // A differing byte in a pale red, the chosen range in a deep one: both read with their
    // text colour at well over the 4.5:1 the accessibility guidelines ask for.
    return current ? QColor(150, 0, 0) : QColor(255, 196, 180);
}

QColor THexViewer::markText(bool current)
{
    return current ? QColor(Qt::white) : QColor(Qt::black);
}

void THexViewer::setMarks(QList<HexLayout::MarkRun> runs)
{
    m_marks = std::move(runs);
    m_current = {};
    RepaintView();
}

void THexViewer::setCurrentMark(HexLayout::MarkRun run)
{
    m_current = run;
    RepaintView();
}

void THexViewer::setShownBytes(const QByteArray *bytes, const QString &notice)
{
    m_shown = bytes;
    ShownBytesNotice->setText(notice);
    ShownBytesNotice->setVisible(bytes != nullptr);
    RepaintView();
}

void THexViewer::scrollToAddress(qint32 address)
{
    VScrollBar->setValue(HexLayout::positionOf(std::max(0, address), m_lineHeight));
    RepaintView();
}

void THexViewer::AddrBoxPaint(QPainter &painter)
{
    paintColumn(painter, AddrColumn, AddrBackground);
}

void THexViewer::DataBoxPaint(QPainter &painter)
{
    paintColumn(painter, DataColumn, palette().color(QPalette::Base));
}

void THexViewer::ASCIIBoxPaint(QPainter &painter)
{
    paintColumn(painter, AsciiColumn, AsciiBackground);
}

void THexViewer::RepaintView()
{
    AddrBox->update();
    DataBox->update();
    ASCIIBox->update();
}

void THexViewer::AddrPanelResize()
{
    VScrollBar->setPageStep(HexLayout::largeStep(columnHeight(), m_lineHeight));
    updateScrollMaximum();
}

void THexViewer::updateScrollMaximum()
{
    // The last page is a full one: End, Ctrl+End and Page Down stop with the last line at the
    // bottom, not alone at the top of an empty view.
    const qint32 viewSize = m_image ? m_image->ViewSize : 0x100000;
    const int pageLines = std::max(1, columnHeight() / std::max(1, m_lineHeight));
    VScrollBar->setMaximum(HexLayout::scrollMaximum(viewSize, m_lineHeight, pageLines));
}

bool THexViewer::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == AddrPanel && event->type() == QEvent::Resize)
        AddrPanelResize();
    if (event->type() == QEvent::Wheel
        && (watched == AddrBox || watched == DataBox || watched == ASCIIBox)) {
        if (!VScrollBar->isEnabled())
            return false;
        QCoreApplication::sendEvent(VScrollBar, event);
        return event->isAccepted();
    }
    return QWidget::eventFilter(watched, event);
}

void THexViewer::setScrollRange(bool enable)
{
    updateScrollMaximum();
    VScrollBar->setEnabled(enable);
    if (enable)
        VScrollBar->setFocus();
}

void THexViewer::moveToTop()
{
    if (VScrollBar->value() == 0)
        RepaintView();
    else
        VScrollBar->setValue(0);
}

bool THexViewer::SectorJump(int key)
{
    if (key != Qt::Key_Left && key != Qt::Key_Right)
        return false;
    if (!m_image || !m_image->hasImage() || m_image->RetainData)
        return true;
    const int p = VScrollBar->value();
    const int target = key == Qt::Key_Right
        ? HexLayout::rightTarget(p, m_lineHeight, DeviceType, m_image->ImageBuffer.size())
        : HexLayout::leftTarget(p, m_lineHeight, DeviceType);
    VScrollBar->setValue(target);
    return true;
}
