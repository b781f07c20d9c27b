#include "shell/BrasvikInit.h"

#include "base/BKGlobal.h"
#include "comm/KTComm.h"
#include "shell/RadioGroup.h"
#include "base/RegistryUnit.h"
#include "base/SettingsStore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QShortcut>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <array>

namespace {

QFrame *separator(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QCheckBox *checkBox(QWidget *parent, const char *name, const QString &caption)
{
    auto *b = new QCheckBox(caption, parent);
    b->setObjectName(QLatin1String(name));
    return b;
}

// A drop-down without a selection keeps what was stored before.
template<typename T> void storeIndex(const QComboBox *box, T &field)
{
    if (box->currentIndex() >= 0)
        field = static_cast<T>(box->currentIndex());
}

// Stored code of each radio-group item; an unknown code or item maps to the fallback item.
constexpr std::array BrDefaultCodes {3, 4, 6, 7};
constexpr std::array BrCVBRDxCodes {3, 4, 6, 7, 8};
constexpr std::array CanBaudrateCodes {5, 6, 7};

template<std::size_t N> int codeToItem(const std::array<int, N> &codes, int code, int fallback)
{
    const auto it = std::find(codes.begin(), codes.end(), code);
    return it != codes.end() ? int(it - codes.begin()) : fallback;
}

template<std::size_t N> int itemToCode(const std::array<int, N> &codes, int item, int fallback)
{
    return codes.at(item >= 0 && item < int(N) ? std::size_t(item) : std::size_t(fallback));
}

} // namespace

TBKInitForm::TBKInitForm(QWidget *owner, int &portIndex)
    : TBKDialog(owner, tr("Configuration")), m_portIndex(portIndex)
{
    PageControl = new QTabWidget(this);
    PageControl->setUsesScrollButtons(false);
    TSInitCOM = buildComPage();
    TabSheet1 = buildCanPage();
    TSDownloadOptions = buildDownloadPage();
    TSUploadOptions = buildUploadPage();
    PageControl->addTab(TSInitCOM, tr("Init COM"));
    PageControl->addTab(TabSheet1, tr("Init PEAK-CAN-Dongle"));
    PageControl->addTab(TSDownloadOptions, tr("Download options"));
    PageControl->addTab(TSUploadOptions, tr("Upload options"));
    // The dongle page is kept so its values pass through, but the user cannot switch to it.
    // Hiding the tab alone is not enough: Ctrl+Tab still stops at hidden tabs, but every way of
    // switching pages skips a disabled one. Only the tab is disabled, not the page, so its
    // controls keep working for the values they carry.
    PageControl->setTabVisible(1, false);
    PageControl->tabBar()->setTabEnabled(1, false);

    // The page keys work wherever the focus is, on OK and Cancel too, not only inside the pages
    // as the tab widget's own handling does.
    const auto pageKey = [this](const QKeySequence &key, int step) {
        auto *shortcut = new QShortcut(key, this);
        connect(shortcut, &QShortcut::activated, this, [this, step] { switchPage(step); });
    };
    pageKey(QKeySequence(Qt::CTRL | Qt::Key_Tab), 1);
    pageKey(QKeySequence(Qt::CTRL | Qt::Key_PageDown), 1);
    pageKey(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), -1);
    pageKey(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab), -1);
    pageKey(QKeySequence(Qt::CTRL | Qt::Key_PageUp), -1);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(PageControl, 1);
    finishLayout(layout, QSize(305, 320));
    FormCreate();
}

void TBKInitForm::switchPage(int step)
{
    const int count = PageControl->count();
    const QTabBar *tabs = PageControl->tabBar();
    int index = PageControl->currentIndex();
    for (int i = 0; i < count; ++i) {
        index = (index + step + count) % count;
        if (tabs->isTabEnabled(index) && tabs->isTabVisible(index)) {
            PageControl->setCurrentIndex(index);
            return;
        }
    }
}

QWidget *TBKInitForm::buildComPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("TSInitCOM"));
    auto *grid = new QGridLayout(page);

    CBCOMPort = new QComboBox(page);
    CBCOMPort->setObjectName(QStringLiteral("CBCOMPort"));
    for (int i = 0; i < RegistryUnit::PortCount; ++i)
        CBCOMPort->addItem(CommPortDisplayName(static_cast<TPort>(i)));
    CBCOMPath = new QComboBox(page);
    CBCOMPath->setObjectName(QStringLiteral("CBCOMPath"));
    CBCOMPath->setEditable(true);
    CBCOMPath->setInsertPolicy(QComboBox::NoInsert);
    CBCOMPath->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    CBCOMPath->setMinimumContentsLength(16);
    CBCOMPath->addItems(serialDevices());
    CBCOMPath->setToolTip(tr("Serial device of the selected COM port; empty for its default"));

    RGbrDefault = new TRadioGroup(
        {tr("  9600 bit/s"), tr("19200 bit/s"), tr("38400 bit/s"), tr("57600 bit/s")}, page);
    RGbrDefault->setObjectName(QStringLiteral("RGbrDefault"));
    RGbrCVBRDx = new TRadioGroup({tr("    9600 bit/s"), tr("  19200 bit/s "), tr("  38400 bit/s"),
                                  tr("  57600 bit/s"), tr("115200 bit/s")},
                                 page);
    RGbrCVBRDx->setObjectName(QStringLiteral("RGbrCVBRDx"));

    grid->addWidget(new QLabel(tr("COM Port:"), page), 0, 0);
    grid->addWidget(CBCOMPort, 0, 1);
    grid->addWidget(CBCOMPath, 1, 0, 1, 2);
    grid->addWidget(new QLabel(tr("Baudrate:"), page), 2, 0, 1, 2);
    grid->addWidget(new QLabel(tr("VMC 4630/40/50"), page), 3, 0);
    grid->addWidget(new QLabel(tr("VMC 4610"), page), 3, 1);
    grid->addWidget(RGbrDefault, 4, 0, Qt::AlignTop);
    grid->addWidget(RGbrCVBRDx, 4, 1, Qt::AlignTop);
    grid->setRowStretch(5, 1);

    connect(CBCOMPort, &QComboBox::currentIndexChanged, this, &TBKInitForm::portSelected);
    connect(CBCOMPath, &QComboBox::currentTextChanged, this, &TBKInitForm::pathEdited);
    return page;
}

QWidget *TBKInitForm::buildCanPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet1"));
    auto *grid = new QGridLayout(page);
    CBCANEnable = checkBox(page, "CBCANEnable", tr("Enable Peak-CAN-Dongle"));
    LaCANBaudrate = new QLabel(tr("Baudrate:"), page);
    RGCANBaudrate = new TRadioGroup({tr("125 kBit/s"), tr("250 kBit/s"), tr("500 kBit/s")}, page);
    RGCANBaudrate->setObjectName(QStringLiteral("RGCANBaudrate"));
    LaIOPort = new QLabel(tr("IO Port:"), page);
    CBIOPort = new QComboBox(page);
    CBIOPort->setObjectName(QStringLiteral("CBIOPort"));
    CBIOPort->addItems({QStringLiteral("0100h"), QStringLiteral("0120h"), QStringLiteral("0140h"),
                        QStringLiteral("0200h"), QStringLiteral("0220h"), QStringLiteral("0278h"),
                        QStringLiteral("02E8h"), QStringLiteral("02F8h"), QStringLiteral("0300h"),
                        QStringLiteral("0320h"), QStringLiteral("0340h"), QStringLiteral("0378h"),
                        QStringLiteral("03BCh"), QStringLiteral("03E8h"), QStringLiteral("03F8h")});
    LaInterrupt = new QLabel(tr("Interrupt:"), page);
    CBInterrupt = new QComboBox(page);
    CBInterrupt->setObjectName(QStringLiteral("CBInterrupt"));
    CBInterrupt->addItems({QStringLiteral("3"), QStringLiteral("4"), QStringLiteral("5"),
                           QStringLiteral("7"), QStringLiteral("9"), QStringLiteral("10"),
                           QStringLiteral("11"), QStringLiteral("12"), QStringLiteral("15")});
    CBEPP = checkBox(page, "CBEPP", tr("EPP"));

    grid->addWidget(CBCANEnable, 0, 0, 1, 2);
    grid->addWidget(separator(page), 1, 0, 1, 2);
    grid->addWidget(LaCANBaudrate, 2, 0);
    grid->addWidget(RGCANBaudrate, 3, 0, 3, 1, Qt::AlignTop);
    grid->addWidget(LaIOPort, 2, 1);
    grid->addWidget(CBIOPort, 3, 1);
    grid->addWidget(LaInterrupt, 4, 1);
    grid->addWidget(CBInterrupt, 5, 1);
    grid->addWidget(CBEPP, 6, 1);
    grid->setRowStretch(7, 1);
    connect(CBCANEnable, &QCheckBox::clicked, this, &TBKInitForm::CBCANEnableClick);
    return page;
}

QWidget *TBKInitForm::buildDownloadPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("TSDownloadOptions"));
    auto *box = new QGroupBox(tr("Enable options"), page);
    auto *inner = new QVBoxLayout(box);
    CBDownloadOption1 = checkBox(box, "CBDownloadOption1", tr("Erase the FLASH completely"));
    inner->addWidget(CBDownloadOption1);
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(box);
    layout->addStretch(1);
    return page;
}

QWidget *TBKInitForm::buildUploadPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("TSUploadOptions"));
    auto *box = new QGroupBox(tr("Enable options"), page);
    auto *inner = new QVBoxLayout(box);
    CBUploadOption1 = checkBox(box, "CBUploadOption1", QString());
    CBUploadOption2 = checkBox(box, "CBUploadOption2", QString());
    CBUploadOption3 = checkBox(box, "CBUploadOption3", QString());
    CBUploadOption4 = checkBox(box, "CBUploadOption4", QString());
    CBUploadOption5 = checkBox(box, "CBUploadOption5", QString());
    CBUploadOption6 = checkBox(box, "CBUploadOption6", QString());
    for (QCheckBox *b :
         {CBUploadOption1, CBUploadOption2, CBUploadOption3, CBUploadOption4, CBUploadOption5})
        inner->addWidget(b);
    inner->addWidget(separator(box));
    inner->addWidget(CBUploadOption6);
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(box);
    layout->addStretch(1);
    return page;
}

void TBKInitForm::FormCreate()
{
    for (int i = 0; i < RegistryUnit::PortCount; ++i)
        m_paths << SettingsStore::comPortDevicePath(i);
    m_storedPaths = m_paths;
    CBCOMPort->setCurrentIndex(m_portIndex >= 0 && m_portIndex < CBCOMPort->count() ? m_portIndex
                                                                                    : -1);
    portSelected(CBCOMPort->currentIndex());

    RGbrDefault->setItemIndex(brDefaultToItem(Settings.brDefault));
    RGbrCVBRDx->setItemIndex(brCVBRDxToItem(Settings.brCVBRDx));
    RGCANBaudrate->setItemIndex(canBaudrateToItem(Settings.CANBaudrate));
    CBDownloadOption1->setChecked(Settings.DownloadOpt1);
    CBUploadOption1->setText(tr("Operating system"));
    CBUploadOption2->setText(tr("Curve and system parameters"));
    CBUploadOption3->setText(tr("CoDeSys PLC project completely"));
    CBUploadOption4->setText(tr("CoDeSys PLC program code"));
    CBUploadOption5->setText(tr("CoDeSys PLC data"));
    CBUploadOption6->setText(tr("Retain values (NV RAM)"));
    CBUploadOption1->setChecked(Settings.UploadOpt1);
    CBUploadOption2->setChecked(Settings.UploadOpt2);
    CBUploadOption3->setChecked(Settings.UploadOpt3);
    CBUploadOption4->setChecked(Settings.UploadOpt4);
    CBUploadOption5->setChecked(Settings.UploadOpt5);
    CBUploadOption6->setChecked(Settings.UploadOpt6);
    CBCANEnable->setChecked(Settings.CANEnabled);
    CBIOPort->setCurrentIndex(Settings.CANIOPort < CBIOPort->count() ? Settings.CANIOPort : -1);
    CBInterrupt->setCurrentIndex(
        Settings.CANInterrupt < CBInterrupt->count() ? Settings.CANInterrupt : -1);
    CBEPP->setChecked(Settings.CANEPP);
    CBCANEnableClick();
    PageControl->setCurrentWidget(TSInitCOM);
}

void TBKInitForm::CBCANEnableClick()
{
    const bool on = CBCANEnable->isChecked();
    for (QWidget *w : std::initializer_list<QWidget *> {LaCANBaudrate, RGCANBaudrate, LaIOPort,
                                                        CBIOPort, LaInterrupt, CBInterrupt, CBEPP})
        w->setVisible(on);
}

void TBKInitForm::portSelected(int index)
{
    const QSignalBlocker block(CBCOMPath);
    CBCOMPath->setEnabled(index >= 0);
    CBCOMPath->setEditText(index >= 0 ? m_paths.at(index) : QString());
}

void TBKInitForm::pathEdited(const QString &path)
{
    const int index = CBCOMPort->currentIndex();
    if (index >= 0)
        m_paths[index] = path.trimmed();
}

void TBKInitForm::storeChoice()
{
    storeIndex(CBCOMPort, m_portIndex);
    Settings.brDefault = quint8(itemToBrDefault(RGbrDefault->itemIndex()));
    Settings.brCVBRDx = quint8(itemToBrCVBRDx(RGbrCVBRDx->itemIndex()));
    Settings.DownloadOpt1 = CBDownloadOption1->isChecked();
    Settings.UploadOpt1 = CBUploadOption1->isChecked();
    Settings.UploadOpt2 = CBUploadOption2->isChecked();
    Settings.UploadOpt3 = CBUploadOption3->isChecked();
    Settings.UploadOpt4 = CBUploadOption4->isChecked();
    Settings.UploadOpt5 = CBUploadOption5->isChecked();
    Settings.UploadOpt6 = CBUploadOption6->isChecked();
    Settings.CANEnabled = CBCANEnable->isChecked();
    Settings.CANBaudrate = quint8(itemToCanBaudrate(RGCANBaudrate->itemIndex()));
    storeIndex(CBIOPort, Settings.CANIOPort);
    storeIndex(CBInterrupt, Settings.CANInterrupt);
    Settings.CANEPP = CBEPP->isChecked();
    // An emptied path is stored empty, which stands for the port's default device.
    for (int i = 0; i < m_paths.size(); ++i) {
        if (m_paths.at(i) != m_storedPaths.at(i))
            SettingsStore::setComPortDevicePath(i, m_paths.at(i));
    }
}

int TBKInitForm::brDefaultToItem(int code)
{
    return codeToItem(BrDefaultCodes, code, int(BrDefaultCodes.size()) - 1);
}

int TBKInitForm::itemToBrDefault(int item)
{
    return itemToCode(BrDefaultCodes, item, int(BrDefaultCodes.size()) - 1);
}

int TBKInitForm::brCVBRDxToItem(int code)
{
    return codeToItem(BrCVBRDxCodes, code, int(BrCVBRDxCodes.size()) - 1);
}

int TBKInitForm::itemToBrCVBRDx(int item)
{
    return itemToCode(BrCVBRDxCodes, item, int(BrCVBRDxCodes.size()) - 1);
}

int TBKInitForm::canBaudrateToItem(int code)
{
    return codeToItem(CanBaudrateCodes, code, 0);
}

int TBKInitForm::itemToCanBaudrate(int item)
{
    return itemToCode(CanBaudrateCodes, item, 0);
}

QStringList TBKInitForm::serialDevices()
{
    QStringList devices;
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo &fi :
         byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name))
        devices << fi.absoluteFilePath();
    const QDir dev(QStringLiteral("/dev"));
    for (const char *pattern : {"ttyUSB*", "ttyACM*", "ttyS*"}) {
        const QStringList names = dev.entryList({QLatin1String(pattern)}, QDir::System, QDir::Name);
        QStringList paths;
        for (const QString &n : names)
            paths << dev.filePath(n);
        // ttyS10 after ttyS9, not after ttyS1.
        std::sort(paths.begin(), paths.end(), [](const QString &a, const QString &b) {
            return a.size() != b.size() ? a.size() < b.size() : a < b;
        });
        devices << paths;
    }
    return devices;
}
