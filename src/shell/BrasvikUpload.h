#pragma once

#include "base/BKGlobal.h"
#include "shell/TransferForm.h"

#include <functional>
#include <memory>

class TKTSerial;
class UploadTransfer;
struct CompareResult;
struct ImageState;

// The upload window: one reading of the device's memory, presented (log, progress, byte count,
// "Close interface", boot prompt, final report). After a successful upload it replaces the
// image's buffer with the data read; in compare mode it compares them with the image instead
// and leaves the image as it is. The protocols live in UploadTransfer.
class TBKUploadForm : public TransferForm
{
    Q_OBJECT
public:
    // `image` is the main window's image: its request fields say what to read, its buffer is
    // replaced after a successful upload. `serial` is the main window's port component,
    // borrowed for the transfer. `showBaudrate` receives the baud-rate text for the main
    // window's status bar (may be empty).
    TBKUploadForm(QWidget *owner, TKTSerial &serial, ImageState &image, DeviceKind deviceType,
                  const TSettings &settings, std::function<void(const QString &)> showBaudrate = {},
                  const TransferLinks &links = TransferLinks::real());
    ~TBKUploadForm() override;

    UploadTransfer *transfer() const { return m_transfer.get(); }

protected:
    void transferFinished(const TransferRecord &record) override;

private:
    // Hands the compare's ranges to the main window's list of differences.
    void showDifferences(const CompareResult &compared);

    ImageState &m_image;
    std::unique_ptr<UploadTransfer> m_transfer;
};
