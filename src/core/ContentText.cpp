#include "core/ContentText.h"

#include "core/ImageState.h"

QString ContentText(const ImageState &image, DeviceKind deviceType)
{
    if (image.RetainData)
        return QStringLiteral("Retain values (NV RAM)");
    switch (image.FirstSector) {
    case 0:
        if (deviceType == DeviceKind::Device46xx)
            return image.EndSector != 0
                ? QStringLiteral("Operating system")
                : QStringLiteral("FLASH memory completely (without NV RAM)");
        return image.BinaryImage ? QStringLiteral("VMC 4610 Firmware image with NV parameter")
                                 : QStringLiteral("Operating system");
    case 11:
        return image.EndSector == 17 ? QStringLiteral("CoDeSys PLC project completely")
                                     : QStringLiteral("CoDeSys PLC program code");
    case 15:
        return QStringLiteral("CoDeSys PLC data");
    case 17:
        return QStringLiteral("Curve and system parameters");
    default:
        return QStringLiteral("Unknown");
    }
}
