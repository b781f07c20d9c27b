#include "CliCommand.h"
#include "CliOptions.h"
#include "CliTransferRunner.h"
#include "CliTransferSetup.h"
#include "ContentText.h"
#include "ImageState.h"
#include "KTCanLink.h"
#include "KTSerial.h"
#include "KTSerialLink.h"
#include "UploadTransfer.h"

#include <cstdio>

int runCompare(const QStringList &args)
{
    CliOptions options(CliTransferSetup::valueOptions(), CliTransferSetup::flagOptions());
    if (!options.parse(args))
        return usageError(options.error());
    if (options.positional().size() != 1)
        return usageError(QStringLiteral("compare needs exactly one IMAGE"));

    ImageState image;
    quint8 deviceType = DeviceNone;
    CliTransferSetup::Setup setup;
    if (!CliTransferSetup::loadAndPrepare(options.positional().first(), options, &image,
                                          &deviceType, &setup))
        return ExitUsage;

    // The region as the Compare command sets it from the loaded image.
    DeviceType = deviceType;
    image.prepareCompare(deviceType, ContentText(image, deviceType));

    const std::unique_ptr<TKTSerial> serial = CliTransferSetup::makeSerial(setup);
    KTSerialLink link(*serial);
    UploadTransfer transfer(UploadSetup::fromSelections(image, deviceType, setup.settings), link,
                            [] { return std::make_unique<KTCanLink>(); });
    CliTransferRunner runner(transfer, setup.assumeYes, transfer.region().start,
                             transfer.region().end);
    const TransferBase::Report report = runner.run();
    if (report.resultCode != 1)
        return CliTransferRunner::exitCode(report);

    const CompareResult compared = transfer.compare(image.ImageBuffer);
    printOut(QString());
    printOut(TransferBase::plainText(compared.resultText));
    std::fflush(stdout);
    return compared.equal() ? ExitSuccess : ExitDifferent;
}
