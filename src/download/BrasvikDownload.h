#pragma once

#include "BKGlobal.h"

#include <QDialog>

#include <functional>
#include <memory>

class DownloadTransfer;
class KTSerialLink;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QStatusBar;
class QToolButton;
class TKTSerial;
struct ImageState;

// The download window: runs one download of the main window's image and presents it (log,
// progress, byte count, "Close COM", boot prompt, final report). The protocols live in
// DownloadTransfer; the window only shows what it reports. It works on its own copy of the image.
class TBKDownloadForm : public QDialog
{
    Q_OBJECT
public:
    // `serial` is the main window's port component, borrowed for the transfer. `showBaudrate`
    // receives the baud-rate text for the main window's status bar (may be empty).
    TBKDownloadForm(QWidget *owner, TKTSerial &serial, const ImageState &image, quint8 deviceType,
                    const TSettings &settings,
                    std::function<void(const QString &)> showBaudrate = {});
    ~TBKDownloadForm() override;

    DownloadTransfer *transfer() const { return m_transfer.get(); }

    QPlainTextEdit *ResultMemo = nullptr;
    QToolButton *ButtonCloseCOM = nullptr;
    QProgressBar *ProgressBar = nullptr;
    QStatusBar *StatusBar = nullptr;

public slots:
    // The close box: close the ports and return the cancel result without a message.
    void reject() override;

private:
    void ButtonCloseCOMClick();
    void showErrorBox(const QString &title, const QString &text);
    void showBootPrompt(const QString &text);
    void transferFinished(int resultCode, const QString &resultText, bool showReport);

    std::unique_ptr<KTSerialLink> m_link;
    std::unique_ptr<DownloadTransfer> m_transfer;
};
