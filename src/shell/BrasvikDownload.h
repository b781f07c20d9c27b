#pragma once

#include "base/BKGlobal.h"
#include "download/DownloadResumeOffer.h"
#include "shell/TransferForm.h"

#include <functional>
#include <memory>

class DownloadTransfer;
class ProductionRun;
class QCheckBox;
class ServiceRecordListener;
class TKTSerial;
struct ImageState;

// The download window: runs one download of the main window's image and presents it (log,
// progress, byte count, "Close COM", boot prompt, final report). After a failure in programming
// the report names the sector to resume from; `resume` starts a flash download there. The protocols live in
// DownloadTransfer; the window only shows what it reports. It works on its own copy of the image.
class TBKDownloadForm : public TransferForm
{
    Q_OBJECT
public:
    // `serial` is the main window's port component, borrowed for the transfer. `showBaudrate`
    // receives the baud-rate text for the main window's status bar (may be empty).
    TBKDownloadForm(QWidget *owner, TKTSerial &serial, const ImageState &image,
                    DeviceKind deviceType, const TSettings &settings,
                    std::function<void(const QString &)> showBaudrate = {},
                    const DownloadResumeOffer::Choice &resume = {},
                    const TransferLinks &links = TransferLinks::real());
    ~TBKDownloadForm() override;

    // The download; nullptr while a run (below) has it, or a read of the run, in hand.
    DownloadTransfer *transfer() const { return m_transfer.get(); }
    // A resume, and with "Verify" checked every flash download, runs as a production run: the
    // unit is proven before the resume and the download read back after it, in this window.
    ProductionRun *run() const { return m_run.get(); }

    // "Verify": read the programmed sectors back and compare them; kept in the settings
    // (DownloadVerify). Checked when the window opens (or for a resume), it counts until the
    // download has ended; checked later, from the next download on.
    QCheckBox *CBVerify = nullptr;

    // "The last download of this image stopped in sector N. Resume from there? No programs the
    // whole image." with Yes, No and Cancel (also the close box), for DownloadResumeOffer::offer.
    static DownloadResumeOffer::Answer askResume(QWidget *owner, const QString &text);

protected:
    void transferFinished(const TransferRecord &record) override;

private:
    void runFinished();

    std::unique_ptr<DownloadTransfer> m_transfer;
    std::unique_ptr<ProductionRun> m_run;
    ServiceRecordListener *m_runRecord = nullptr; // a child
};
