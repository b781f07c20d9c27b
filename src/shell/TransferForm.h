#pragma once

#include "transfer/TransferLinks.h"
#include "transfer/TransferSetup.h"

#include <QDialog>
#include <QElapsedTimer>

#include <functional>
#include <memory>

class QLabel;
class QPushButton;
class QTimer;
class ServiceRecordListener;
class QPlainTextEdit;
class QProgressBar;
class QStatusBar;
class QToolButton;
class TKTSerial;
class TransferSession;
class TransferRate;
struct TransferEvent;
struct TransferRecord;

// What the download and the upload window have in common: a fixed-size, always-on-top dialog
// with the "Close COM" tool button, the log, the progress bar and the status bar, the borrowed
// serial port, and the presentation of a transfer (error boxes, boot prompt, final report).
// A window builds its transfer on link() and hands it to present(); the window follows the
// transfer's events and ends with the modal result of its record. Every transfer it presents
// goes into the service record; one that cannot be written costs a line in the log, no more.
class TransferForm : public QDialog
{
    Q_OBJECT
public:
    ~TransferForm() override;

    QPlainTextEdit *ResultMemo = nullptr;
    QToolButton *ButtonCloseCOM = nullptr;
    QProgressBar *ProgressBar = nullptr;
    QLabel *RateLabel = nullptr; // rate and time left, under the progress bar
    QStatusBar *StatusBar = nullptr;
    // Shown once the report has been read: the log stays open until the user closes it here
    // (or with Esc or the close box), and the window then returns the record's result.
    QPushButton *ButtonClose = nullptr;

public slots:
    // The close box (and Alt+F4). Once the boot byte has gone out it asks first, as the stop
    // button does (the object name of the question is "StopPrompt"): Yes breaks the transfer
    // and shows its report, No leaves it running. Before that the window closes without a word
    // and returns the cancel result; after the end it returns the record's result.
    void reject() override;

protected:
    // `closeHint` is the tool tip of ButtonCloseCOM. `links` makes the serial link over `serial`
    // and the CAN links of the transfer (the real ones unless a test hands in fakes).
    TransferForm(QWidget *owner, TKTSerial &serial, const QString &objectName,
                 const QString &closeHint, const TransferLinks &links = TransferLinks::real());

    SerialLink &link() { return *m_link; }
    // The port's path and boot lines, the CAN bus and the target programs' folder, from the
    // settings, for the subclass's transfer.
    TransferSetup transferSetup() const;
    // The CAN factory for the subclass's transfer.
    TransferLinks::CanFactory canLinks() const { return m_canLinks; }

    // Shows `transfer` in the window and starts it; the progress bar spans the record's address
    // range. `showBaudrate` receives the baud-rate text for the main window (may be empty).
    void present(TransferSession &transfer, std::function<void(const QString &)> showBaudrate);
    // Stops following the transfer; called before the subclass frees it.
    void release();

    // For a transfer that is one of several in a run: the run writes the record (false: no
    // record line of the transfer's own), and a read that only serves the run shows no report
    // box of its own (false). Set before present().
    bool m_recordsTransfer = true;
    bool m_reportsTransfer = true;

    // The transfer has finished: show what the record has to show, then end with its modal
    // result. This default keeps the window open after a report, for its log; closeWindow()
    // ends it at once.
    virtual void transferFinished(const TransferRecord &record);
    void closeWindow();

    // Esc does nothing while the transfer runs: a stray key must not close the port in the
    // middle of an erase. "Close COM" and the close box end a transfer.
    void keyPressEvent(QKeyEvent *event) override;

private:
    void onTransferEvent(const TransferEvent &event);
    void ButtonCloseCOMClick();
    // True once the boot byte has gone out and until the end: stopping then needs a yes.
    bool stopNeedsAnswer() const;
    // Asks whether to stop the running transfer and breaks it on Yes.
    void askToStop();
    void breakTransfer();
    void showErrorBox(const QString &title, const QString &text, const QString &hint);
    void showBootPrompt(const QString &text);
    void showReport(const TransferRecord &record);
    void followRate(const TransferEvent &event);
    void showRate();
    // The rate label at the end: the data phase's average, with its time after a success.
    void settleRate(bool success);
    // The window is wide enough for its whole title.
    void fitTitle();
    void changeEvent(QEvent *event) override;

    TKTSerial &m_serial;
    // Declared before the subclass's transfer, so it outlives it.
    std::unique_ptr<SerialLink> m_link;
    TransferLinks::CanFactory m_canLinks;
    TransferSession *m_transfer = nullptr;
    bool m_ended = false; // the transfer's Finished event has come
    int m_result = 0; // the modal result of the record, once ended
    QString m_report; // the final report, shown once the record has the outcome
    bool m_asking = false; // the stop question is open
    ServiceRecordListener *m_record = nullptr; // a child; lives until the transfer's end line
    std::unique_ptr<TransferRate> m_rate;
    QElapsedTimer m_rateShown;
    QTimer *m_rateTimer = nullptr; // lets the rate fall while no block comes
};
