#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "cli/CliTransferFeeds.h"
#include "cli/CliTransferSetup.h"
#include "comm/ResourceIdentity.h"
#include "core/ImageSaver.h"
#include "core/ImageState.h"
#include "transfer/ServiceRecord.h"

#include <QFileInfo>

int runConvert(const QStringList &args)
{
    CliOptions options({QStringLiteral("device")}, {});
    if (!options.parse(args))
        return usageError(options.error());
    if (options.positional().size() != 2)
        return usageError(QStringLiteral("convert needs IMAGE and OUTPUT"));
    const QString output = options.positional().at(1);
    const QString suffix = QFileInfo(output).suffix().toLower();
    if (suffix != QLatin1String("b86") && suffix != QLatin1String("r86"))
        return usageError(QStringLiteral("OUTPUT must end in .b86 or .r86"));
    // Neither the image nor the service record may be written over.
    ResourceIdentity::FileClaims files;
    (void)files.claim(QStringLiteral("the image ") + options.positional().first(),
                      options.positional().first());
    if (QString error; !claimOutput(&files, QStringLiteral("the service record file"),
                                    ServiceRecord::defaultPath(), &error)
        || !claimOutput(&files, QStringLiteral("OUTPUT"), output, &error))
        return usageError(error);

    ImageState image;
    DeviceKind deviceType = DeviceKind::None;
    if (!CliTransferSetup::loadImage(options.positional().first(), options, &image, &deviceType))
        return ExitUsage;
    // The Save command offers R86 only for an operating-system image.
    if (suffix == QLatin1String("r86") && !ImageSaver::offersR86(image))
        return usageError(QStringLiteral("an R86 file can only be written from an operating "
                                         "system image"));
    const ImageSaver::Result result = ImageSaver::SaveImageFile(image, deviceType, output);
    if (!result.ok()) {
        printErr(result.message.text.isEmpty() ? QStringLiteral("Nothing written to %1").arg(output)
                                               : result.message.text);
        return ExitUsage;
    }
    printErr(QStringLiteral("Wrote %1").arg(output));
    return ExitSuccess;
}
