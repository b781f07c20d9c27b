#pragma once

#include "base/BKGlobal.h"
#include "transfer/TransferSession.h"
#include "upload/CompareData.h"
#include "upload/UploadMachine.h"
#include "upload/UploadRegion.h"

#include <QByteArray>
#include <QString>

#include <memory>

struct ImageState;

// What one reading of the device's memory needs to know, taken over when it is created.
struct UploadSetup
{
    DeviceKind deviceType = DeviceKind::Device46xx;
    qint32 FirstSector = 0;
    qint32 EndSector = 0; // exclusive; equal to FirstSector for the whole flash
    bool RetainMode = false;
    bool CompareMode = false;
    QString UploadChoiceText;
    qint32 comInterface = InterfaceRS232;
    int baudrateOrdinal = 7; // TBaudrate ordinal
    CanLink::Params can;
    // Compare mode: the image that the data read are compared with, and its file name.
    QByteArray compareImage;
    QString imageFile;

    // From the main window's request fields (and, for a compare, its image), the device type
    // and the settings.
    static UploadSetup fromSelections(const ImageState &image, DeviceKind deviceType,
                                      const TSettings &settings);
};

// One reading of a flash region or of the retain values: over RS-232 (blocks of 256 bytes with
// a check byte, re-requested on a bad check byte or a time-out) or, after the RS-232 start, over
// CAN (batches of 32 bytes). A presenter (the upload window or the command-line tool) starts it,
// answers the boot prompt and shows the final report. In compare mode a successful reading is
// then compared with the setup's image before the Finished event, whose record holds the
// compare's result; otherwise the presenter takes uploadData() after a successful reading, and
// only then: a reading that failed holds whatever came before the failure.
class UploadTransfer : public TransferSession
{
    Q_OBJECT
public:
    UploadTransfer(const UploadSetup &setup, SerialLink &serial, CanLinkFactory canFactory,
                   const TransferSetup &transferSetup, QObject *parent = nullptr);
    ~UploadTransfer() override;

    // The machine a reading of `setup` runs.
    static std::unique_ptr<UploadMachine> machineFor(const UploadSetup &setup);

    const UploadSetup &setup() const { return m_setup; }
    // The range read: progress minimum and maximum, the compared range.
    UploadRegion region() const { return reading().region(); }
    // "Upload - " or "Compare - " and the choice's text.
    QString caption() const;
    // The data read: for a 46xx flash region 0x100000 bytes addressed by device address (and
    // the trailer after a partial read), else the bytes read from offset 0.
    const QByteArray &uploadData() const { return reading().uploadData(); }
    qint32 bytesRead() const { return reading().bytesRead(); }
    // The compare's result, once it has run (the record holds its summary).
    const CompareResult &compareResult() const { return m_compareResult; }

protected:
    void onReported() override;

private:
    const UploadMachine &reading() const { return static_cast<const UploadMachine &>(machine()); }
    // Compares the data read with `image` over the region into the record. Logs "Comparing
    // data..." and the outcome, reports progress every 256 bytes.
    void compare(QByteArrayView image);

    UploadSetup m_setup;
    CompareResult m_compareResult;
};
