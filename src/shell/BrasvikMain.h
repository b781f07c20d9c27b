#pragma once

#include "comm/KTSerial.h"
#include "core/ImageState.h"
#include "shell/HexLayout.h"
#include "transfer/TransferRecord.h"

#include <QMainWindow>
#include <QPointer>
#include <QStringList>

#include <array>
#include <functional>

class QAction;
class QDialog;
class QLabel;
class QToolBar;
class TDifferencesForm;
class THexViewer;
struct UserMessage;

// The program's one window: owns the firmware image and the serial component, shows the image
// in the hex viewer and turns each toolbar command into its chain of modal dialogs.
class TBKMainForm : public QMainWindow
{
    Q_OBJECT
public:
    // `arguments` are the command-line arguments after the program name; the first one, if
    // any, is loaded on the first idle moment and followed by the Download command.
    explicit TBKMainForm(const QStringList &arguments = {}, QWidget *parent = nullptr);
    ~TBKMainForm() override;

    // The image and the serial port, used directly by the transfer windows.
    ImageState Image;
    TKTSerial Serial;

    // Runs a modal dialog or message box and returns its result. Tests replace it to answer
    // the dialogs of a command without a nested event loop.
    std::function<int(QDialog &)> RunModal;

    QToolBar *ToolBar1 = nullptr;
    QAction *ButtonOpenFile = nullptr;
    QAction *ButtonSaveFile = nullptr;
    QAction *ButtonDownload = nullptr;
    QAction *ButtonUpload = nullptr;
    QAction *ButtonCompare = nullptr;
    QAction *ButtonInit = nullptr;
    QAction *ButtonInfo = nullptr;
    THexViewer *Viewer = nullptr;
    std::array<QLabel *, 8> StatusPanels {};

    // Loads an H86 or B86 file (asking for the device type of an H86 file); shows its own
    // messages. True when an image was loaded.
    bool LoadImageFile(const QString &path);
    void ShowContentText();
    void RepaintView();
    // Opens the download window for the current image; its result is not used.
    void OpenDownloadWindow();

    void ButtonOpenFileClick();
    void ButtonSaveFileClick();
    void ButtonDownloadClick();
    void ButtonUploadClick();
    void ButtonCompareClick();
    void ButtonInitClick();
    void ButtonInfoClick();
    // Refreshes the status panels for port, baud rate and CAN dongle.
    void FormActivate();
    // Loads the first command-line argument and starts the Download command.
    void StartupCheck();

    QString statusText(int panel) const;

    // After a compare with differences: opens the list of its ranges beside the viewer, not
    // modal, in place of one still open. `marks` are the differing bytes, `deviceBytes` the
    // image with the device's bytes over the compared range. A new image or transfer closes it.
    void showDifferences(const QList<CompareRange> &ranges, qint64 bytesDiffering,
                         QList<HexLayout::MarkRun> marks, QByteArray deviceBytes);
    TDifferencesForm *differencesForm() const;

protected:
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildToolBar();
    void buildStatusBar();
    void LoadSettings();
    // Keeps the window within the available screen; `placed`: it has a stored position.
    void fitToScreen(bool placed);
    void SaveSettings();
    // The device-type dialog (unless `askDeviceType` is false), then the interface dialog where
    // the CAN dongle can be used. False when either is cancelled.
    bool confirmDeviceAndInterface(bool askDeviceType = true);
    // The Download command; the start-up download skips a device type chosen just before.
    void downloadCommand(bool askDeviceType);
    void setImageCommandsEnabled(bool enabled);
    void showImage();
    void clearImageView();
    void showMessage(const UserMessage &message);
    // Runs a transfer window; a failure that escapes it is shown, never passed to the loop.
    // The keyboard focus comes back to the viewer afterwards.
    int runTransfer(const std::function<int()> &open);
    void returnFocusToViewer();
    // True when the window is shown but not yet on screen; the start-up check then runs again
    // once it is.
    bool waitForPlacement();

    void closeDifferences();

    QStringList m_arguments;
    bool m_deviceTypeDeclined = false; // the last LoadImageFile's device-type dialog was cancelled
    bool m_deviceTypeAsked = false; // the last LoadImageFile asked for the device type
    QPointer<TDifferencesForm> m_differences;
    QString m_lastFolder; // of the last file opened or saved, for a name without a folder
};
