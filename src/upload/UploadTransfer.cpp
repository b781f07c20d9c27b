#include "upload/UploadTransfer.h"

#include "core/ImageState.h"
#include "transfer/TargetFiles.h"

#include "upload/CanUpload.h"
#include "upload/SerialUpload.h"
#include <QFileInfo>

UploadSetup UploadSetup::fromSelections(const ImageState &image, DeviceKind deviceType,
                                        const TSettings &settings)
{
    UploadSetup setup;
    setup.deviceType = deviceType;
    setup.FirstSector = image.FirstSector;
    setup.EndSector = image.EndSector;
    setup.RetainMode = image.RetainData;
    setup.CompareMode = image.CompareMode;
    setup.UploadChoiceText = image.UploadChoiceText;
    setup.comInterface = settings.COMInterface;
    setup.baudrateOrdinal
        = deviceType == DeviceKind::Board4610 ? settings.brCVBRDx : settings.brDefault;
    setup.can.epp = settings.CANEPP;
    setup.can.bitrateCode = settings.CANBaudrate;
    setup.can.extendedIds = false;
    setup.can.portIndex = settings.CANIOPort;
    setup.can.interruptIndex = settings.CANInterrupt;
    if (image.CompareMode) {
        setup.compareImage = image.ImageBuffer;
        setup.imageFile = image.FileName;
    }
    return setup;
}

UploadTransfer::UploadTransfer(const UploadSetup &setup, SerialLink &serial,
                               CanLinkFactory canFactory, const TransferSetup &transferSetup,
                               QObject *parent)
    : TransferSession(serial, std::move(canFactory), transferSetup, parent), m_setup(setup)
{
    const TargetFiles::Names names
        = TargetFiles::choose(TargetFiles::Direction::Upload, setup.RetainMode, setup.deviceType,
                              setup.comInterface, setup.can.bitrateCode);
    m_loaderFile = TargetFiles::resolve(transferSetup.targetDirectory, names.loader);
    m_programFile = TargetFiles::resolve(transferSetup.targetDirectory, names.program);
    m_useCan = TargetFiles::usesCan(setup.deviceType, setup.comInterface);
    m_baudrateOrdinal = setup.baudrateOrdinal;
    m_canParams = setup.can;
    m_operationWord = QStringLiteral("Upload");
    m_comInterface = setup.comInterface;
    setMachine(machineFor(setup));

    const UploadRegion region = reading().region();
    m_record.operation = setup.CompareMode ? TransferOperation::Compare : TransferOperation::Upload;
    m_record.deviceType = setup.deviceType;
    m_record.imageFile = setup.CompareMode && !setup.imageFile.isEmpty()
        ? QFileInfo(setup.imageFile).absoluteFilePath()
        : QString();
    m_record.firstSector = setup.FirstSector;
    m_record.endSector = setup.EndSector;
    m_record.startAddress = quint32(region.start);
    m_record.endAddress = quint32(region.end);
    m_record.retain = setup.RetainMode;
    m_record.totalBytes = region.end - region.start;
}

std::unique_ptr<UploadMachine> UploadTransfer::machineFor(const UploadSetup &setup)
{
    UploadJob job;
    job.deviceType = setup.deviceType;
    job.firstSector = setup.FirstSector;
    job.endSector = setup.EndSector;
    job.retainMode = setup.RetainMode;
    if (TargetFiles::usesCan(setup.deviceType, setup.comInterface))
        return std::make_unique<CanUpload>(job);
    return std::make_unique<SerialUpload>(job);
}

UploadTransfer::~UploadTransfer()
{
    // Nothing may reach the machine once this part of the object is gone.
    shutdown();
}

QString UploadTransfer::caption() const
{
    return (m_setup.CompareMode ? QStringLiteral("Compare - ") : QStringLiteral("Upload - "))
        + m_setup.UploadChoiceText;
}

void UploadTransfer::onReported()
{
    if (m_setup.CompareMode && machine().outcome() == TransferOutcome::Success)
        compare(m_setup.compareImage);
}

void UploadTransfer::compare(QByteArrayView image)
{
    log(QStringLiteral("Comparing data..."));
    const bool relocationRule = !m_setup.RetainMode && m_setup.deviceType != DeviceKind::Device46xx;
    const UploadRegion region = reading().region();
    const qint32 start = region.start;
    const CompareResult result
        = CompareData(image, uploadData(), start, region.end, relocationRule, [&](qint32 p) {
              emit statusText(QStringLiteral("%1 bytes have been compared").arg(p - start));
              reportProgress(p);
          });
    log(result.memoLine);
    m_record.compared = true;
    m_record.compareEqual = result.equal();
    m_record.compareAddress = result.equal() ? -1 : result.address;
    m_record.compareText = plainText(result.resultText);
    m_compareResult = result;
    m_compareResult.setSectors(m_setup.deviceType, m_setup.RetainMode);
    m_record.setCompareRanges(m_compareResult.ranges, m_compareResult.bytesDiffering);
}
