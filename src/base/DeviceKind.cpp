#include "base/DeviceKind.h"

QString deviceKindName(DeviceKind kind)
{
    return kind == DeviceKind::Board4610 ? QStringLiteral("4610") : QStringLiteral("46xx");
}

std::optional<DeviceKind> deviceKindFromName(QStringView name)
{
    if (name.compare(QLatin1String("46xx"), Qt::CaseInsensitive) == 0)
        return DeviceKind::Device46xx;
    if (name == QLatin1String("4610"))
        return DeviceKind::Board4610;
    return std::nullopt;
}
