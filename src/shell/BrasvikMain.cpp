#include "shell/BrasvikMain.h"

#include "shell/AppIcon.h"
#include "base/BKGlobal.h"
#include "shell/BrasvikDeviceType.h"
#include "shell/BrasvikInit.h"
#include "shell/BrasvikInterface.h"
#include "shell/BrasvikOptions.h"
#include "shell/BrasvikUploadChoice.h"
#include "core/ContentText.h"
#include "shell/DifferencesForm.h"
#include "shell/HexViewer.h"
#include "base/IdleSlot.h"
#include "core/ImageLoader.h"
#include "core/ImageSaver.h"
#include "base/ModalResult.h"
#include "base/RegistryUnit.h"
#include "base/SettingsStore.h"
#include "shell/TransferWindows.h"
#include "about/VersionInfo.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QWindow>

#include <algorithm>
#include <exception>
#include <limits>

Q_LOGGING_CATEGORY(lcShell, "brasvik.shell", QtWarningMsg)

namespace {

constexpr QSize DesignedClientSize(609, 372);
constexpr QSize ToolButtonSize(55, 38);
constexpr QSize ToolIconSize(32, 32);
constexpr int ContentPanel = 6;

struct PanelDesign
{
    Qt::Alignment alignment;
    int width;
    bool bevel;
    // The longest text the panel shows; the panel grows to fit it in a larger UI font.
    const char *widest;
};
// Port, baud rate, CAN dongle and content, each a caption and a value.
constexpr std::array<PanelDesign, 8> Panels {{
    {Qt::AlignRight | Qt::AlignVCenter, 37, false, "COM:"},
    {Qt::AlignCenter, 20, true, "16"},
    {Qt::AlignCenter, 70, true, "115200 bit/s"},
    {Qt::AlignRight | Qt::AlignVCenter, 105, false, "PEAK-CAN-Dongle:"},
    {Qt::AlignCenter, 65, false, "500 kBit/s"},
    {Qt::AlignRight | Qt::AlignVCenter, 59, false, "Content:"},
    {Qt::AlignCenter, 239, true, "FLASH memory completely (without NV RAM)"},
    {Qt::AlignLeft | Qt::AlignVCenter, 50, false, ""},
}};

void setBevel(QLabel *label, bool lowered)
{
    label->setFrameStyle(lowered ? (QFrame::Panel | QFrame::Sunken) : QFrame::NoFrame);
}

QIcon commandIcon(const char *themeName, QStyle::StandardPixmap fallback, const QStyle *style)
{
    return QIcon::fromTheme(QLatin1String(themeName), style->standardIcon(fallback));
}

QString baudrateText(TBaudrate baudrate)
{
    switch (baudrate) {
    case br19200:
        return QStringLiteral("19200 bit/s");
    case br38400:
        return QStringLiteral("38400 bit/s");
    case br57600:
        return QStringLiteral("57600 bit/s");
    case br115200:
        return QStringLiteral("115200 bit/s");
    default:
        return QStringLiteral("9600 bit/s");
    }
}

QString canBaudrateText(quint8 code)
{
    switch (code) {
    case 6:
        return QStringLiteral("250 kBit/s");
    case 7:
        return QStringLiteral("500 kBit/s");
    default:
        return QStringLiteral("125 kBit/s");
    }
}

constexpr int NoPosition = std::numeric_limits<int>::min();
// What a window frame takes around the window: title bar and borders, before the window system
// can tell.
constexpr QMargins FrameAllowance(8, 40, 8, 8);

bool sizeUsable(int width, int height)
{
    constexpr int MinSide = 100;
    constexpr int MaxSide = 16384;
    return width >= MinSide && height >= MinSide && width <= MaxSide && height <= MaxSide;
}

// A stored placement is used only when its size is sane and part of it lies on a screen.
bool placementOnScreen(const RegistryUnit::TWindowPlacement &p)
{
    constexpr int MinVisible = 32;
    if (!sizeUsable(p.Width, p.Height))
        return false;
    const QRect rect(p.Left, p.Top, p.Width, p.Height);
    for (const QScreen *screen : QGuiApplication::screens()) {
        const QRect visible = rect.intersected(screen->availableGeometry());
        if (visible.width() >= MinVisible && visible.height() >= MinVisible)
            return true;
    }
    return false;
}

} // namespace

TBKMainForm::TBKMainForm(const QStringList &arguments, QWidget *parent)
    : QMainWindow(parent), m_arguments(arguments)
{
    RunModal = [](QDialog &dialog) {
        return dialog.exec();
    };
    setWindowTitle(QStringLiteral("BrasvikV6"));
    setWindowIcon(QApplication::windowIcon());

    Serial.SetBaudrate(br57600);
    Serial.SetFrameParitybit(TParityBit::None);
    Serial.SetRxBufSize(4096);
    Serial.SetTxBufSize(4096);
    Serial.SetSyncEventHandling(true);

    buildToolBar();
    Viewer = new THexViewer(this);
    Viewer->setObjectName(QStringLiteral("Viewer"));
    Viewer->setImage(&Image);
    setCentralWidget(Viewer);
    buildStatusBar();
    // Wide enough for the status panels up to the content text in the UI font in use.
    const int statusWidth = statusBar()->sizeHint().width() - StatusPanels.back()->width();
    resize(DesignedClientSize.expandedTo(QSize(statusWidth, 0)));

    // The window sees the arrow keys before the scroll bar does.
    Viewer->VScrollBar->installEventFilter(this);

    LoadSettings();
    DeviceType = DeviceKind::None;
    Viewer->setScrollRange(false);
    FormActivate();

    // Told once, when the window is up, before the start-up download.
    const QString settingsProblem = SettingsStore::readProblem();
    IdleSlot::post([self = QPointer<TBKMainForm>(this), settingsProblem] {
        if (!self)
            return;
        if (!settingsProblem.isEmpty())
            self->showMessage(
                {QStringLiteral("Brasvik"), settingsProblem, UserMessage::Icon::Error});
        self->StartupCheck();
    });
}

TBKMainForm::~TBKMainForm()
{
    SaveSettings();
    Image.ImageBuffer.clear();
}

void TBKMainForm::buildToolBar()
{
    ToolBar1 = new QToolBar(this);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setIconSize(ToolIconSize);
    ToolBar1->setContextMenuPolicy(Qt::PreventContextMenu);
    addToolBar(Qt::TopToolBarArea, ToolBar1);

    const QStyle *st = style();
    // Every command has a key as well; the tool tip names it. None of the keys is one the hex
    // viewer or a dialog uses.
    auto add = [this](const char *name, const QIcon &icon, const QString &hint,
                      void (TBKMainForm::*handler)(), bool enabled, const QKeySequence &key) {
        auto *action = new QAction(icon, hint, this);
        action->setObjectName(QLatin1String(name));
        action->setShortcut(key);
        action->setShortcutContext(Qt::WindowShortcut);
        action->setToolTip(
            QStringLiteral("%1 (%2)").arg(hint, key.toString(QKeySequence::NativeText)));
        action->setEnabled(enabled);
        connect(action, &QAction::triggered, this, handler);
        ToolBar1->addAction(action);
        if (auto *button = qobject_cast<QToolButton *>(ToolBar1->widgetForAction(action))) {
            button->setObjectName(QLatin1String(name));
            button->setFixedSize(ToolButtonSize);
            button->setAutoRaise(true);
        }
        return action;
    };
    ButtonOpenFile
        = add("ButtonOpenFile", BrasvikOpenIcon(), tr("Open file..."),
              &TBKMainForm::ButtonOpenFileClick, true, QKeySequence(Qt::CTRL | Qt::Key_O));
    ButtonSaveFile
        = add("ButtonSaveFile", commandIcon("document-save", QStyle::SP_DialogSaveButton, st),
              tr("Save file..."), &TBKMainForm::ButtonSaveFileClick, false,
              QKeySequence(Qt::CTRL | Qt::Key_S));
    ToolBar1->addSeparator();
    ButtonDownload
        = add("ButtonDownload", BrasvikDownloadIcon(), tr("Download..."),
              &TBKMainForm::ButtonDownloadClick, false, QKeySequence(Qt::CTRL | Qt::Key_D));
    ButtonUpload = add("ButtonUpload", BrasvikUploadIcon(), tr("Upload..."),
                       &TBKMainForm::ButtonUploadClick, true, QKeySequence(Qt::CTRL | Qt::Key_U));
    ButtonCompare
        = add("ButtonCompare", commandIcon("edit-find", QStyle::SP_FileDialogContentsView, st),
              tr("Upload and compare..."), &TBKMainForm::ButtonCompareClick, false,
              QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_U));
    ToolBar1->addSeparator();
    ButtonInit = add("ButtonInit", commandIcon("preferences-system", QStyle::SP_ComputerIcon, st),
                     tr("Init COM/Options..."), &TBKMainForm::ButtonInitClick, true,
                     QKeySequence(Qt::CTRL | Qt::Key_Comma));
    ToolBar1->addSeparator();
    ButtonInfo = add("ButtonInfo", commandIcon("help-about", QStyle::SP_MessageBoxInformation, st),
                     tr("Info"), &TBKMainForm::ButtonInfoClick, true, QKeySequence(Qt::Key_F1));

    // Quitting has no button, only its key.
    auto *quit = new QAction(tr("Quit"), this);
    quit->setObjectName(QStringLiteral("ActionQuit"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &QWidget::close);
    addAction(quit);
}

void TBKMainForm::buildStatusBar()
{
    QStatusBar *bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar"));
    bar->setStyleSheet(QStringLiteral("QStatusBar::item { border: none; }"));
    for (int i = 0; i < int(Panels.size()); ++i) {
        auto *label = new QLabel(bar);
        label->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        label->setAlignment(Panels[i].alignment);
        label->setMargin(1);
        setBevel(label, true);
        // Sized with the frame every panel may get, so a bevel never clips the text.
        const int fit = label->fontMetrics().horizontalAdvance(QLatin1String(Panels[i].widest))
            + 2 * (label->margin() + label->frameWidth()) + 6;
        label->setFixedWidth(std::max(Panels[i].width, fit));
        setBevel(label, Panels[i].bevel);
        StatusPanels[i] = label;
        bar->addWidget(label);
    }
    StatusPanels[0]->setText(QStringLiteral("COM:"));
    StatusPanels[5]->setText(QStringLiteral("Content:"));
}

QString TBKMainForm::statusText(int panel) const
{
    return StatusPanels.at(panel)->text();
}

void TBKMainForm::LoadSettings()
{
    RegistryUnit::TSerialSelection serial {Serial.PortName(), Serial.Baudrate()};
    RegistryUnit::LoadSettings(Settings, serial);
    Serial.SetPortName(static_cast<TPort>(serial.PortIndex));
    Serial.SetDevicePath(SettingsStore::comPortDevicePath(serial.PortIndex));
    Serial.SetBaudrate(static_cast<TBaudrate>(serial.Baudrate));

    // Without a stored position the window system places the window.
    RegistryUnit::TWindowPlacement designed;
    designed.Left = NoPosition;
    designed.Top = NoPosition;
    designed.Width = width();
    designed.Height = height();
    designed.State = RegistryUnit::StateNormal;
    const RegistryUnit::TWindowPlacement stored = RegistryUnit::LoadPlacement(designed);
    if (stored.Left != NoPosition && stored.Top != NoPosition) {
        if (placementOnScreen(stored)) {
            move(stored.Left, stored.Top);
            resize(stored.Width, stored.Height);
        }
    } else if (sizeUsable(stored.Width, stored.Height)) {
        resize(stored.Width, stored.Height);
    }
    fitToScreen(stored.Left != NoPosition && stored.Top != NoPosition);
    if (stored.State == RegistryUnit::StateMaximized)
        setWindowState(windowState() | Qt::WindowMaximized);
}

void TBKMainForm::fitToScreen(bool placed)
{
    // A placement stored under another screen or scale may reach past this screen's edge:
    // the window comes wholly onto the screen it is mostly on, shrunk if it must be. Its
    // position is that of its frame; its size leaves the frame out.
    const QScreen *on = QGuiApplication::screenAt(geometry().center());
    if (!on)
        on = QGuiApplication::primaryScreen();
    if (!on)
        return;
    const QRect available = on->availableGeometry();
    const QSize frame(FrameAllowance.left() + FrameAllowance.right(),
                      FrameAllowance.top() + FrameAllowance.bottom());
    const QSize room = available.size() - frame;
    if (room.isEmpty())
        return;
    resize(size().boundedTo(room).expandedTo(minimumSizeHint().boundedTo(room)));
    if (!placed)
        return;
    const QSize outer = size() + frame;
    move(std::clamp(x(), available.left(),
                    std::max(available.left(), available.right() + 1 - outer.width())),
         std::clamp(y(), available.top(),
                    std::max(available.top(), available.bottom() + 1 - outer.height())));
}

void TBKMainForm::SaveSettings()
{
    RegistryUnit::TWindowPlacement placement;
    // Width and Height are the inner size, so a round trip never grows the window by its frame.
    placement.Left = x();
    placement.Top = y();
    placement.Width = width();
    placement.Height = height();
    placement.State = isMinimized() ? RegistryUnit::StateMinimized
        : isMaximized()             ? RegistryUnit::StateMaximized
                                    : RegistryUnit::StateNormal;
    if (!RegistryUnit::SavePlacement(placement)
        || !RegistryUnit::SaveSettings(Settings, {Serial.PortName(), Serial.Baudrate()}))
        qCWarning(lcShell) << "The settings could not be saved.";
}

void TBKMainForm::FormActivate()
{
    StatusPanels[1]->setText(QString::number(int(Serial.PortName()) + 1));
    StatusPanels[2]->setText(baudrateText(Serial.Baudrate()));
    if (Settings.CANEnabled) {
        StatusPanels[3]->setText(QStringLiteral("PEAK-CAN-Dongle:"));
        StatusPanels[4]->setText(canBaudrateText(Settings.CANBaudrate));
        setBevel(StatusPanels[4], true);
    } else {
        Settings.COMInterface = InterfaceRS232;
        StatusPanels[3]->clear();
        StatusPanels[4]->clear();
        setBevel(StatusPanels[4], false);
    }
}

void TBKMainForm::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate();
}

void TBKMainForm::keyPressEvent(QKeyEvent *event)
{
    if (Viewer->SectorJump(event->key()))
        event->accept();
    else
        QMainWindow::keyPressEvent(event);
}

bool TBKMainForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == windowHandle() && event->type() == QEvent::Expose
        && windowHandle()->isExposed()) {
        // Placed and on screen: the start-up check goes on at the next idle moment.
        windowHandle()->removeEventFilter(this);
        IdleSlot::post([self = QPointer<TBKMainForm>(this)] {
            if (self)
                self->StartupCheck();
        });
    }
    if (watched == Viewer->VScrollBar && event->type() == QEvent::KeyPress) {
        // Shift and Ctrl do not change the jump; the bar would otherwise step one line.
        const auto *key = static_cast<QKeyEvent *>(event);
        const Qt::KeyboardModifiers ignored
            = Qt::KeypadModifier | Qt::ShiftModifier | Qt::ControlModifier;
        if (!(key->modifiers() & ~ignored) && Viewer->SectorJump(key->key()))
            return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TBKMainForm::setImageCommandsEnabled(bool enabled)
{
    ButtonSaveFile->setEnabled(enabled);
    ButtonDownload->setEnabled(enabled);
    ButtonCompare->setEnabled(enabled);
}

void TBKMainForm::showImage()
{
    setWindowTitle(Image.caption());
    setImageCommandsEnabled(true);
    Viewer->setScrollRange(true);
    Viewer->moveToTop();
}

void TBKMainForm::clearImageView()
{
    setWindowTitle(QStringLiteral("BrasvikV6"));
    Viewer->setScrollRange(false);
    Viewer->moveToTop();
    Viewer->RepaintView();
}

void TBKMainForm::showMessage(const UserMessage &message)
{
    QMessageBox box(message.icon == UserMessage::Icon::Error ? QMessageBox::Critical
                                                             : QMessageBox::Information,
                    message.title, message.text, QMessageBox::Ok, this);
    RunModal(box);
}

bool TBKMainForm::LoadImageFile(const QString &path)
{
    m_deviceTypeDeclined = false;
    m_deviceTypeAsked = false;
    // The type used last is the likely one; the family's main kind before any.
    const DeviceKind suggested
        = DeviceType != DeviceKind::None ? DeviceType : DeviceKind::Device46xx;
    const auto askDeviceType = [this, suggested](DeviceKind &deviceType) {
        deviceType = DeviceKind::None;
        m_deviceTypeAsked = true;
        TBKDeviceTypeForm dialog(this, suggested);
        if (RunModal(dialog) != mrOk) {
            m_deviceTypeDeclined = true;
            return false;
        }
        deviceType = DeviceType;
        return deviceType != DeviceKind::None;
    };
    const ImageLoader::Result result
        = ImageLoader::LoadImageFile(Image, path, DeviceType, askDeviceType);
    if (result.cancelled())
        return false;
    if (result.imageKept()) {
        showMessage(result.message);
        return false;
    }

    closeDifferences();
    setImageCommandsEnabled(false);
    StatusPanels[ContentPanel]->clear();
    Viewer->VScrollBar->setEnabled(false);
    if (!result.ok()) {
        showMessage(result.message);
        clearImageView();
        return false;
    }
    StatusPanels[ContentPanel]->setText(result.contentText);
    m_lastFolder = QFileInfo(path).absolutePath();
    showImage();
    return true;
}

void TBKMainForm::ShowContentText()
{
    StatusPanels[ContentPanel]->setText(ContentText(Image, DeviceType));
}

void TBKMainForm::RepaintView()
{
    Viewer->RepaintView();
}

void TBKMainForm::ButtonOpenFileClick()
{
    QFileDialog dialog(this, tr("Open file..."));
    dialog.setNameFilters({QStringLiteral("Intel H86 hex files (*.h86)"),
                           QStringLiteral("Intel HEX (*.hex *.ihx)"),
                           QStringLiteral("Device dependent binary files (*.b86)")});
    dialog.setDefaultSuffix(QStringLiteral("h86"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (!Image.FileName.isEmpty())
        dialog.selectFile(Image.FileName);
    if (RunModal(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    LoadImageFile(dialog.selectedFiles().constFirst());
}

void TBKMainForm::ButtonSaveFileClick()
{
    QFileDialog dialog(this, ImageSaver::DialogTitle);
    QStringList filters {ImageSaver::FilterB86};
    if (ImageSaver::offersR86(Image))
        filters << ImageSaver::FilterR86;
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(ImageSaver::DefaultSuffix);
    // A name typed without an extension gets the one of the chosen file type.
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString &filter) {
        dialog.setDefaultSuffix(filter == ImageSaver::FilterR86 ? QStringLiteral("r86")
                                                                : ImageSaver::DefaultSuffix);
    });
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setSizeGripEnabled(true);
    // An uploaded image has a name but no folder: it is offered in the folder used last (the
    // home folder before any), never relative to wherever the program was started.
    const QFileInfo base(ImageSaver::baseName(Image));
    const QString folder = base.isAbsolute() ? base.absolutePath()
        : m_lastFolder.isEmpty()             ? QDir::homePath()
                                             : m_lastFolder;
    dialog.setDirectory(folder);
    dialog.selectFile(QDir(folder).filePath(base.fileName()));
    if (RunModal(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString path = dialog.selectedFiles().constFirst();
    const ImageSaver::Result result = ImageSaver::SaveImageFile(Image, DeviceType, path);
    if (result.outcome == ImageSaver::Outcome::WroteB86)
        setWindowTitle(Image.caption());
    else if (!result.message.isEmpty())
        showMessage(result.message);
    if (result.outcome == ImageSaver::Outcome::WroteB86
        || result.outcome == ImageSaver::Outcome::WroteR86)
        m_lastFolder = QFileInfo(path).absolutePath();
}

int TBKMainForm::runTransfer(const std::function<int()> &open)
{
    // Its marks and the device's bytes belong to the compare before.
    closeDifferences();
    int result = mrAbort;
    // The port's path as the settings have it now: the setup dialog may have changed it.
    Serial.SetDevicePath(SettingsStore::comPortDevicePath(int(Serial.PortName())));
    try {
        result = open();
    } catch (const std::exception &e) {
        showMessage({QStringLiteral("Brasvik"), QString::fromLocal8Bit(e.what()),
                     UserMessage::Icon::Error});
    }
    returnFocusToViewer();
    return result;
}

void TBKMainForm::showDifferences(const QList<CompareRange> &ranges, qint64 bytesDiffering,
                                  QList<HexLayout::MarkRun> marks, QByteArray deviceBytes)
{
    closeDifferences();
    m_differences = new TDifferencesForm(this, *Viewer, ranges, bytesDiffering, std::move(marks),
                                         std::move(deviceBytes));
    // Beside this window where the screen has room, else beside the bytes it points at, never
    // over them. Its frame is taken to be as wide as this window's, which the window system
    // draws alike.
    const QSize outer = m_differences->size() + frameGeometry().size() - geometry().size();
    const QScreen *on = screen() ? screen() : QGuiApplication::primaryScreen();
    const QRect available = on->availableGeometry();
    QPoint at = TDifferencesForm::placement(frameGeometry(), outer, available);
    if (QRect(at, outer).intersects(frameGeometry())) {
        const QRect bytes(Viewer->mapToGlobal(Viewer->bytesRect().topLeft()),
                          Viewer->bytesRect().size());
        at = TDifferencesForm::placement(bytes, outer, available);
    }
    m_differences->move(at);
    m_differences->show();
}

TDifferencesForm *TBKMainForm::differencesForm() const
{
    return m_differences;
}

void TBKMainForm::closeDifferences()
{
    if (m_differences)
        m_differences->reject();
}

void TBKMainForm::returnFocusToViewer()
{
    // The window system does not always hand the focus back when the transfer window is
    // destroyed; the keys would then reach no window until the user clicks one.
    activateWindow();
    if (Viewer->VScrollBar->isEnabled())
        Viewer->VScrollBar->setFocus(Qt::ActiveWindowFocusReason);
}

void TBKMainForm::OpenDownloadWindow()
{
    runTransfer([this] { return TransferWindows::openDownload(*this); });
}

bool TBKMainForm::confirmDeviceAndInterface(bool askDeviceType)
{
    if (askDeviceType) {
        TBKDeviceTypeForm dialog(this);
        if (RunModal(dialog) != mrOk)
            return false;
    }
    if (DeviceType == DeviceKind::Device46xx && Settings.CANEnabled) {
        TBKInterfaceForm dialog(this);
        if (RunModal(dialog) != mrOk)
            return false;
    }
    return true;
}

void TBKMainForm::ButtonDownloadClick()
{
    downloadCommand(true);
}

void TBKMainForm::downloadCommand(bool askDeviceType)
{
    if (!Image.hasDataToDownload()) {
        showMessage(
            {QStringLiteral("Brasvik"), Image.noDataToDownloadText(), UserMessage::Icon::Error});
        return;
    }
    if (!confirmDeviceAndInterface(askDeviceType))
        return;
    // A binary image is downloaded with the sectors it already carries.
    if (!Image.BinaryImage) {
        TBKOptionsForm dialog(this, Image);
        if (RunModal(dialog) != mrOk)
            return;
    }
    OpenDownloadWindow();
}

void TBKMainForm::ButtonUploadClick()
{
    const DeviceKind remembered = DeviceType;
    DeviceType = DeviceKind::None;
    if (!confirmDeviceAndInterface()) {
        // Only a cancelled device-type dialog puts the type back.
        if (DeviceType == DeviceKind::None)
            DeviceType = remembered;
        return;
    }
    // Only a successful upload replaces the image: the choice's sectors and the device type
    // chosen for a reading that failed or was broken off are no part of the image shown.
    const ImageState kept = Image;
    Image.CompareMode = false;
    {
        TBKChooseForm dialog(this, Image);
        if (RunModal(dialog) != mrOk)
            return;
    }
    const int result = runTransfer([this] { return TransferWindows::openUpload(*this, false); });
    if (result == mrOk) {
        StatusPanels[ContentPanel]->setText(Image.applyUploadedImage(DeviceType));
        showImage();
    } else {
        Image = kept;
        DeviceType = remembered;
    }
}

void TBKMainForm::ButtonCompareClick()
{
    if (!confirmDeviceAndInterface())
        return;
    Image.prepareCompare(DeviceType, statusText(ContentPanel));
    runTransfer([this] { return TransferWindows::openUpload(*this, true); });
}

void TBKMainForm::ButtonInitClick()
{
    int port = Serial.PortName();
    {
        TBKInitForm dialog(this, port);
        RunModal(dialog);
    }
    if (port != Serial.PortName()) {
        try {
            Serial.SetPortName(static_cast<TPort>(port));
            Serial.SetDevicePath(SettingsStore::comPortDevicePath(port));
        } catch (const std::exception &e) {
            showMessage({QStringLiteral("Brasvik"), QString::fromLocal8Bit(e.what()),
                         UserMessage::Icon::Error});
        }
    }
    FormActivate();
}

void TBKMainForm::ButtonInfoClick()
{
    TVerInfoForm dialog(this);
    RunModal(dialog);
}

void TBKMainForm::StartupCheck()
{
    if (m_arguments.isEmpty() || waitForPlacement())
        return;
    const QString path = m_arguments.constFirst();
    if (LoadImageFile(path)) {
        // The type the user has just chosen for this image is not asked again at once.
        downloadCommand(!m_deviceTypeAsked);
    } else if (m_deviceTypeDeclined) {
        // The user did not open this file here: an image that silently stays away is a puzzle.
        showMessage({QStringLiteral("Brasvik"),
                     QStringLiteral("%1 was not loaded: no device type was chosen for it.")
                         .arg(QFileInfo(path).fileName()),
                     UserMessage::Icon::Information});
    }
}

bool TBKMainForm::waitForPlacement()
{
    // The first idle moment can come before the window system has placed the window; a dialog
    // centred over it then would be centred over the window's unplaced position.
    QWindow *handle = windowHandle();
    if (!isVisible() || !handle || handle->isExposed())
        return false;
    handle->installEventFilter(this);
    return true;
}
