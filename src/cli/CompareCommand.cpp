#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "cli/CliTransferRunner.h"
#include "cli/CliTransferSetup.h"
#include "core/ContentText.h"
#include "core/ImageState.h"
#include "transfer/KTCanLink.h"
#include "comm/KTSerial.h"
#include "transfer/KTSerialLink.h"
#include "upload/UploadTransfer.h"

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
