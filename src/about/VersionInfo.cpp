#include "about/VersionInfo.h"

#include "about/MemoryStatus.h"
#include "base/ModalResult.h"

#include <QApplication>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRadialGradient>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr quint64 MemoryUnit = 1024000;
constexpr int ImageSide = 65;
constexpr int DesignedWidth = 340;

struct Texts
{
    const char *caption;
    const char *productVersion;
    const char *fileVersion;
    const char *memAvail;
    const char *sysResources;
    const char *free;
};

const Texts &texts(int language)
{
    static const Texts english {
        "About", "Product version:", "File version:", "Available memory:", "System resources:",
        "free"};
    static const Texts german {"Info \u00fcber",    "Produktversion:",
                               "Dateiversion:",     "Verf\u00fcgbarer Arbeitsspeicher:",
                               "Systemressourcen:", "frei"};
    return language == TVerInfoForm::German ? german : english;
}

QString text(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

// The picture kept with the form for the hidden value: a speckled egg.
QPixmap eggPixmap()
{
    QPixmap pixmap(ImageSide, ImageSide);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient shade(QPointF(26, 22), 40);
    shade.setColorAt(0, QColor(255, 250, 235));
    shade.setColorAt(1, QColor(214, 190, 150));
    p.setBrush(shade);
    p.setPen(QPen(QColor(150, 120, 80), 1.5));
    p.drawEllipse(QRectF(14, 6, 37, 53));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(120, 160, 90));
    for (const QPointF &dot :
         {QPointF(26, 20), QPointF(38, 28), QPointF(29, 40), QPointF(40, 47), QPointF(22, 33)})
        p.drawEllipse(dot, 2.5, 2.5);
    return pixmap;
}

} // namespace

TVerInfoForm::TVerInfoForm(QWidget *owner, const TVersionResource &resource, const QLocale &locale)
    : QDialog(owner,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                  | Qt::WindowCloseButtonHint)
    , m_resource(resource)
    , m_locale(locale)
{
    AppImage = new QLabel(this);
    AppImage->setFixedSize(ImageSide, ImageSide);
    AppImage->setAlignment(Qt::AlignCenter);
    EggImage = new QLabel(this);
    EggImage->setFixedSize(ImageSide, ImageSide);
    EggImage->setPixmap(eggPixmap());
    EggImage->setVisible(false);
    Company = new QLabel(this);
    Product = new QLabel(this);
    QFont bold = Product->font();
    bold.setBold(true);
    Product->setFont(bold);
    ProductVersion = new QLabel(this);
    FileVersion = new QLabel(this);
    EasterEggLabel = new QLabel(this);
    EasterEggLabel->setWordWrap(true);
    Copyright = new QLabel(this);
    Copyright->setWordWrap(true);
    Bevel1 = new QFrame(this);
    Bevel1->setFrameShape(QFrame::HLine);
    Bevel1->setFrameShadow(QFrame::Sunken);
    MemAvail = new QLabel(this);
    MemSize = new QLabel(this);
    SysResources = new QLabel(this);
    ResSize = new QLabel(this);
    for (QLabel *l : {Company, Product, ProductVersion, FileVersion, EasterEggLabel, Copyright,
                      MemAvail, MemSize, SysResources, ResSize})
        l->setTextInteractionFlags(Qt::NoTextInteraction);
    Button = new QPushButton(this);
    Button->setDefault(true);
    connect(Button, &QPushButton::clicked, this, [this] { done(mrOk); });
    // Keys go to the form itself, which closes on Enter and Escape.
    Button->setFocusPolicy(Qt::NoFocus);
    setFocusPolicy(Qt::StrongFocus);

    auto *grid = new QGridLayout(this);
    grid->setHorizontalSpacing(12);
    auto *images = new QVBoxLayout;
    images->addWidget(AppImage);
    images->addWidget(EggImage);
    images->addStretch(1);
    grid->addLayout(images, 0, 0, 6, 1);
    grid->addWidget(Company, 0, 1, 1, 2);
    grid->addWidget(Product, 1, 1, 1, 2);
    grid->addWidget(ProductVersion, 2, 1, 1, 2);
    grid->addWidget(FileVersion, 3, 1, 1, 2);
    grid->addWidget(EasterEggLabel, 4, 1, 1, 2);
    grid->addWidget(Copyright, 6, 0, 1, 3);
    grid->addWidget(Bevel1, 7, 0, 1, 3);
    grid->addWidget(MemAvail, 8, 0, 1, 2);
    grid->addWidget(MemSize, 8, 2);
    grid->addWidget(SysResources, 9, 0, 1, 2);
    grid->addWidget(ResSize, 9, 2);
    grid->addWidget(Button, 10, 0, 1, 3, Qt::AlignHCenter);
    grid->setColumnStretch(2, 1);
    EasterEggLabel->setVisible(false);

    FormCreate();
    fitToContents();
}

int TVerInfoForm::SystemLanguage(const QLocale &locale)
{
    return locale.language() == QLocale::German ? German : English;
}

void TVerInfoForm::FormCreate()
{
    Language = SystemLanguage(m_locale);
    EggShown = false;
    const Texts &t = texts(Language);
    MemAvail->setText(text(t.memAvail));
    SysResources->setText(text(t.sysResources));
    Button->setText(QStringLiteral("OK"));
}

void TVerInfoForm::showEvent(QShowEvent *event)
{
    FormShow();
    QDialog::showEvent(event);
}

void TVerInfoForm::FormShow()
{
    ReadVersionInfo();
    const Texts &t = texts(Language);
    setWindowTitle(QStringLiteral("%1 %2").arg(text(t.caption), QApplication::applicationName()));
    AppImage->setPixmap(QApplication::windowIcon().pixmap(48, 48));
    Company->setText(m_company);
    Product->setText(m_product);
    ProductVersion->setText(QStringLiteral("%1 %2").arg(text(t.productVersion), m_productVersion));
    FileVersion->setText(QStringLiteral("%1 %2").arg(text(t.fileVersion), m_fileVersion));
    Copyright->setText(m_copyright);

    const TMemoryStatus memory = TMemoryStatus::query();
    MemSize->setText(memSizeText(memory.AvailPhys));
    ResSize->setText(resSizeText(memory.AvailPhys, memory.AvailPageFile, memory.TotalPhys,
                                 memory.TotalPageFile, Language));
    fitToContents();
}

void TVerInfoForm::fitToContents()
{
    // The texts arrive at every showing; a height fixed before them leaves an empty band where
    // a wrapped line turned out shorter, or cuts one that turned out longer.
    QLayout *grid = layout();
    grid->activate();
    const int width = std::max(DesignedWidth, grid->totalMinimumSize().width());
    const int height = grid->hasHeightForWidth() ? grid->totalHeightForWidth(width)
                                                 : grid->totalSizeHint().height();
    setFixedSize(width, std::max(height, grid->totalMinimumSize().height()));
}

QString TVerInfoForm::memSizeText(quint64 availPhys)
{
    // Whole kilobytes, like every other count the program shows: a decimal point here read as
    // a thousands separator.
    return QStringLiteral("%1 KB").arg(availPhys / 1024);
}

QString TVerInfoForm::resSizeText(quint64 availPhys, quint64 availPageFile, quint64 totalPhys,
                                  quint64 totalPageFile, int language)
{
    const quint64 total = totalPhys / MemoryUnit + totalPageFile / MemoryUnit;
    const quint64 avail = availPhys / MemoryUnit + availPageFile / MemoryUnit;
    const quint64 percent = total ? avail * 100 / total : 0;
    return QStringLiteral("%1% %2").arg(percent).arg(text(texts(language).free));
}

void TVerInfoForm::ReadVersionInfo()
{
    m_company.clear();
    m_copyright.clear();
    m_product.clear();
    m_productVersion.clear();
    m_fileVersion.clear();
    m_eggText.clear();
    if (m_resource.size() == 0)
        return;
    TVersionResource::Translation translation;
    if (!m_resource.translation(&translation))
        return;
    const QString block
        = QStringLiteral("StringFileInfo\\%1%2")
              .arg(QString::number(translation.language, 16).rightJustified(4, u'0').toUpper(),
                   QString::number(translation.codePage, 16).rightJustified(4, u'0').toUpper());
    const std::pair<const char *, QString *> keys[] = {
        {"\\CompanyName", &m_company},     {"\\LegalCopyright", &m_copyright},
        {"\\ProductName", &m_product},     {"\\ProductVersion", &m_productVersion},
        {"\\FileVersion", &m_fileVersion}, {"\\Easter egg", &m_eggText},
    };
    for (const auto &[key, field] : keys) {
        QString value;
        if (m_resource.queryValue(block + QLatin1String(key), &value) && !value.isEmpty())
            *field = value;
    }
}

void TVerInfoForm::setEggShown(bool shown)
{
    EggShown = shown;
    EggImage->setVisible(shown);
    EasterEggLabel->setText(shown ? m_eggText : QString());
    EasterEggLabel->setVisible(shown && !m_eggText.isEmpty());
    fitToContents();
}

void TVerInfoForm::FormKeyDown(int key, Qt::KeyboardModifiers modifiers)
{
    // Pressing Ctrl on its way to Ctrl+F1 is not a key of its own; Shift or Alt alone is.
    if (key == Qt::Key_Control)
        return;
    setEggShown(!EggShown && (modifiers & Qt::ControlModifier) && key == Qt::Key_F1);
}

void TVerInfoForm::keyPressEvent(QKeyEvent *event)
{
    FormKeyDown(event->key(), event->modifiers());
    QDialog::keyPressEvent(event);
}

void TVerInfoForm::reject()
{
    // Escape closes the box like its button.
    done(mrOk);
}
