#pragma once

#include <QDialog>

#include <functional>
#include <memory>

class KTSerialLink;
class QPlainTextEdit;
class QProgressBar;
class QStatusBar;
class QToolButton;
class TKTSerial;
class TransferBase;

// What the download and the upload window have in common: a fixed-size, always-on-top dialog
// with the "Close COM" tool button, the log, the progress bar and the status bar, the borrowed
// serial port, and the presentation of a transfer (error boxes, boot prompt, final report).
// A window builds its transfer on link() and hands it to present().
class TransferForm : public QDialog
{
    Q_OBJECT
public:
    ~TransferForm() override;

    QPlainTextEdit *ResultMemo = nullptr;
    QToolButton *ButtonCloseCOM = nullptr;
    QProgressBar *ProgressBar = nullptr;
    QStatusBar *StatusBar = nullptr;

public slots:
    // The close box: close the ports and return the cancel result without a message.
    void reject() override;

protected:
    // `closeHint` is the tool tip of ButtonCloseCOM.
    TransferForm(QWidget *owner, TKTSerial &serial, const QString &objectName,
                 const QString &closeHint);

    KTSerialLink &link() { return *m_link; }

    // Shows `transfer` in the window and starts it; the progress bar runs from `minimum` to
    // `maximum`. `showBaudrate` receives the baud-rate text for the main window (may be empty).
    void present(TransferBase &transfer, qint64 minimum, qint64 maximum,
                 std::function<void(const QString &)> showBaudrate);

    // The final report in an information box, when the transfer asks for one.
    void showReport(const QString &resultText);
    // The transfer has ended: show what there is to show, then done(resultCode).
    virtual void transferFinished(int resultCode, const QString &resultText, bool withReport) = 0;

private:
    void ButtonCloseCOMClick();
    void showErrorBox(const QString &title, const QString &text);
    void showBootPrompt(const QString &text);

    // Declared before the subclass's transfer, so it outlives it.
    std::unique_ptr<KTSerialLink> m_link;
    TransferBase *m_transfer = nullptr;
};
