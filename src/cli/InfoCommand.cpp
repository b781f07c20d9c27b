#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "cli/CliTransferSetup.h"
#include "core/ContentText.h"
#include "core/ImageState.h"

int runInfo(const QStringList &args)
{
    CliOptions options({QStringLiteral("device")}, {});
    if (!options.parse(args))
        return usageError(options.error());
    if (options.positional().size() != 1)
        return usageError(QStringLiteral("info needs exactly one IMAGE"));
    ImageState image;
    DeviceKind deviceType = DeviceKind::None;
    if (!CliTransferSetup::loadImage(options.positional().first(), options, &image, &deviceType))
        return ExitUsage;
    const auto hex = [](qint64 v) {
        return QStringLiteral("0x") + QString::number(v, 16).toUpper();
    };
    printOut(QStringLiteral("File: %1").arg(image.FileName));
    printOut(QStringLiteral("Content: %1").arg(ContentText(image, deviceType)));
    printOut(QStringLiteral("Device type: %1")
                 .arg(deviceType == DeviceKind::Board4610
                          ? QStringLiteral("4610 (VMC 4610 converter board)")
                          : QStringLiteral("46xx (VMC 4630, 4640, 4650 or VD200)")));
    printOut(QStringLiteral("DataEnd: %1 (%2)").arg(hex(image.DataEnd)).arg(image.DataEnd));
    printOut(QStringLiteral("FirstSector: %1").arg(image.FirstSector));
    printOut(QStringLiteral("EndSector: %1").arg(image.EndSector));
    printOut(QStringLiteral("Image size: %1 bytes").arg(image.ImageBuffer.size()));
    printOut(QStringLiteral("View size: %1 bytes").arg(image.ViewSize));
    printOut(QStringLiteral("Retain values: %1")
                 .arg(image.RetainData ? QStringLiteral("yes") : QStringLiteral("no")));
    printOut(QStringLiteral("Binary image: %1")
                 .arg(image.BinaryImage ? QStringLiteral("yes") : QStringLiteral("no")));
    return ExitSuccess;
}
