#include "upload/UploadChoice.h"

#include "core/SectorMap.h"

#include <array>

namespace {

struct ChoiceRow
{
    UploadChoice choice;
    const char *name;
    const char *caption;
    const char *setting;
    qint32 firstSector;
    qint32 endSector;
};

constexpr std::array<ChoiceRow, 7> Rows {{
    {UploadChoice::Flash, "flash", "FLASH memory completely (without NV RAM)", "", 0, 0},
    {UploadChoice::OperatingSystem, "os", "Operating system", "UploadOpt1", 0,
     OperatingSystemEndSector},
    {UploadChoice::Parameters, "parameters", "Curve and system parameters", "UploadOpt2", 17,
     SectorCount},
    {UploadChoice::PlcProject, "plc", "CoDeSys PLC project completely", "UploadOpt3",
     OperatingSystemEndSector, 17},
    {UploadChoice::PlcCode, "plc-code", "CoDeSys PLC program code", "UploadOpt4",
     OperatingSystemEndSector, 15},
    {UploadChoice::PlcData, "plc-data", "CoDeSys PLC data", "UploadOpt5", 15, 17},
    {UploadChoice::Retain, "retain", "Retain values (NV RAM)", "UploadOpt6", 0, 0},
}};

constexpr qint32 BoardFlashEndSector = 8;

const ChoiceRow &row(UploadChoice choice)
{
    return Rows[size_t(choice)];
}

} // namespace

namespace UploadChoices {

QString name(UploadChoice choice)
{
    return QString::fromLatin1(row(choice).name);
}

std::optional<UploadChoice> fromName(const QString &name)
{
    for (const ChoiceRow &r : Rows) {
        if (name == QLatin1String(r.name))
            return r.choice;
    }
    return std::nullopt;
}

QStringList names()
{
    QStringList list;
    for (const ChoiceRow &r : Rows)
        list << QString::fromLatin1(r.name);
    return list;
}

QString caption(UploadChoice choice, DeviceKind deviceType)
{
    if (choice == UploadChoice::Flash && deviceType != DeviceKind::Device46xx)
        return QStringLiteral("VMC 4610 Firmware image with NV parameter");
    return QString::fromLatin1(row(choice).caption);
}

QString settingName(UploadChoice choice)
{
    return QString::fromLatin1(row(choice).setting);
}

bool offered(UploadChoice choice, DeviceKind deviceType, const TSettings &settings)
{
    if (choice == UploadChoice::Flash)
        return true;
    if (deviceType != DeviceKind::Device46xx)
        return false;
    switch (choice) {
    case UploadChoice::OperatingSystem:
        return settings.UploadOpt1;
    case UploadChoice::Parameters:
        return settings.UploadOpt2;
    case UploadChoice::PlcProject:
        return settings.UploadOpt3;
    case UploadChoice::PlcCode:
        return settings.UploadOpt4;
    case UploadChoice::PlcData:
        return settings.UploadOpt5;
    case UploadChoice::Retain:
        return settings.UploadOpt6;
    case UploadChoice::Flash:
        break;
    }
    return true;
}

UploadRequest request(UploadChoice choice, DeviceKind deviceType)
{
    const ChoiceRow &r = row(choice);
    UploadRequest req;
    req.FirstSector = r.firstSector;
    req.EndSector = r.endSector;
    req.RetainData = choice == UploadChoice::Retain;
    req.UploadChoiceText = caption(choice, deviceType);
    if (choice == UploadChoice::Flash && deviceType != DeviceKind::Device46xx)
        req.EndSector = BoardFlashEndSector;
    return req;
}

} // namespace UploadChoices
