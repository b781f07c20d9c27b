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
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionHeader>
#include <QVBoxLayout>

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
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
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
    const QColor markColor = marked ? markText() : QColor();
    const QColor markBack = marked ? markBackground() : QColor();
    qint32 address = topAddress();
    int y = 0;
    for (const QString &line : lines) {
        const quint16 marks = marked ? HexLayout::lineMarks(m_marks, address) : 0;
        if (marks != 0)
            paintMarks(painter, column, marks, y, markBack);
        const quint64 cells
            = column == DataColumn ? HexLayout::dataCells(marks) : HexLayout::asciiCells(marks);
        m_text->draw(painter, QPointF(TextX, y + ascent),
                     column == AsciiColumn ? printable(line) : line, cells, markColor);
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

namespace {

// Relative luminance and contrast ratio as the accessibility guidelines define them.
double luminance(const QColor &c)
{
    const auto channel = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

const QColor FallbackMark(160, 0, 0);

} // namespace

bool THexViewer::highlightReadable() const
{
    // Every selection shows text in these two colours, so the style means them to be read
    // together; a palette where they come close (3:1, the least for large text) is not used.
    return contrast(palette().color(QPalette::Highlight),
                    palette().color(QPalette::HighlightedText))
        >= 3.0;
}

QColor THexViewer::markBackground() const
{
    return highlightReadable() ? palette().color(QPalette::Highlight) : FallbackMark;
}

QColor THexViewer::markText() const
{
    return highlightReadable() ? palette().color(QPalette::HighlightedText) : QColor(Qt::white);
}

void THexViewer::setMarks(QList<HexLayout::MarkRun> runs)
{
    m_marks = std::move(runs);
    RepaintView();
}

void THexViewer::setShownBytes(const QByteArray *bytes)
{
    m_shown = bytes;
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
    const qint32 viewSize = m_image ? m_image->ViewSize : 0x100000;
    VScrollBar->setMaximum(std::max(0, HexLayout::scrollMaximum(viewSize, m_lineHeight)));
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
