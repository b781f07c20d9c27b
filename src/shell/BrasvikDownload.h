#pragma once

#include "base/BKGlobal.h"
#include "download/DownloadResumeOffer.h"
#include "shell/TransferForm.h"

#include <functional>
#include <memory>

class DownloadTransfer;
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

    DownloadTransfer *transfer() const { return m_transfer.get(); }

    // "The last download of this image stopped in sector N. Resume from there?" with Yes, No
    // and Cancel (also the close box), for DownloadResumeOffer::offer.
    static DownloadResumeOffer::Answer askResume(QWidget *owner, const QString &text);

private:
    std::unique_ptr<DownloadTransfer> m_transfer;
};
