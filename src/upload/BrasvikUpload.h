#pragma once

#include "BKGlobal.h"

#include <QDialog>

#include <functional>
#include <memory>

class KTSerialLink;
class QPlainTextEdit;
class QProgressBar;
class QStatusBar;
class QToolButton;
class TKTSerial;
class UploadTransfer;
struct ImageState;

// The upload window: one reading of the device's memory, presented (log, progress, byte count,
// "Close interface", boot prompt, final report). After a successful upload it replaces the
// image's buffer with the data read; in compare mode it compares them with the image instead
// and leaves the image as it is. The protocols live in UploadTransfer.
class TBKUploadForm : public QDialog
{
    Q_OBJECT
public:
    // `image` is the main window's image: its request fields say what to read, its buffer is
    // replaced after a successful upload. `serial` is the main window's port component,
    // borrowed for the transfer. `showBaudrate` receives the baud-rate text for the main
    // window's status bar (may be empty).
    TBKUploadForm(QWidget *owner, TKTSerial &serial, ImageState &image, quint8 deviceType,
                  const TSettings &settings,
                  std::function<void(const QString &)> showBaudrate = {});
    ~TBKUploadForm() override;

    UploadTransfer *transfer() const { return m_transfer.get(); }

    QPlainTextEdit *ResultMemo = nullptr;
    QToolButton *ButtonCloseCOM = nullptr;
    QProgressBar *ProgressBar = nullptr;
    QStatusBar *StatusBar = nullptr;

public slots:
    // The close box: close the interfaces and end without data and without a message.
    void reject() override;

private:
    void ButtonCloseCOMClick();
    void showErrorBox(const QString &title, const QString &text);
    void showBootPrompt(const QString &text);
    void FinishTransfer(int resultCode, const QString &resultText, bool showReport);

    ImageState &m_image;
    std::unique_ptr<KTSerialLink> m_link;
    std::unique_ptr<UploadTransfer> m_transfer;
};
