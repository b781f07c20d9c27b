#include "cli/CliBatchRunner.h"
#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "cli/CliTransferRunner.h"
#include "cli/CliTransferSetup.h"
#include "comm/KTSerial.h"
#include "core/ContentText.h"
#include "core/ImageState.h"
#include "transfer/TransferLinks.h"
#include "upload/UploadTransfer.h"

int runCompare(const QStringList &args)
{
    CliOptions options(CliTransferSetup::valueOptions() + CliFeedOptions::valueOptions(),
                       CliTransferSetup::flagOptions() + CliFeedOptions::flagOptions());
    if (!options.parse(args))
        return usageError(options.error());
    CliFeedOptions feeds;
    if (QString error; !CliFeedOptions::fromOptions(options, &feeds, &error))
        return usageError(error);
    if (options.positional().size() != 1)
        return usageError(QStringLiteral("compare needs exactly one IMAGE"));

    ImageState image;
    DeviceKind deviceType = DeviceKind::None;
    CliTransferSetup::Setup setup;
    if (!CliTransferSetup::loadAndPrepare(options.positional().first(), options, &image,
                                          &deviceType, &setup))
        return ExitUsage;

    // The region as the Compare command sets it from the loaded image.
    DeviceType = deviceType;
    image.prepareCompare(deviceType, ContentText(image, deviceType));

    const UploadSetup uploadSetup = UploadSetup::fromSelections(image, deviceType, setup.settings);
    const TransferLinks links = TransferLinks::real();
    if (!setup.ports.isEmpty()) {
        CliBatchRunner batch(setup, feeds, links);
        return batch.run([&uploadSetup](SerialLink &link, const TransferLinks::CanFactory &can,
                                         const TransferSetup &transferSetup) {
            return std::make_unique<UploadTransfer>(uploadSetup, link, can, transferSetup);
        });
    }

    const std::unique_ptr<TKTSerial> serial = CliTransferSetup::makeSerial(setup);
    const std::unique_ptr<SerialLink> link = links.makeSerial(*serial);
    // The transfer compares what it read with the image and reports both, in that order.
    UploadTransfer transfer(uploadSetup, *link, links.canFactory(),
                            CliTransferSetup::transferSetup(setup, setup.serial.PortIndex));
    CliTransferRunner runner(transfer, setup.assumeYes, feeds);
    return TransferOutcomes::exitStatus(runner.run());
}
