#include "transfer/TransferLinks.h"

#include "transfer/KTCanLink.h"
#include "transfer/KTSerialLink.h"

TransferLinks TransferLinks::real()
{
    // Empty members: the real links, which then take the port's CAN bus (canFactory).
    return {};
}

std::unique_ptr<SerialLink> TransferLinks::makeSerial(TKTSerial &component) const
{
    std::unique_ptr<SerialLink> link
        = serial ? serial(component) : std::make_unique<KTSerialLink>(component);
    return serialTap && link ? serialTap(std::move(link)) : std::move(link);
}

TransferLinks::CanFactory TransferLinks::canFactory(const QString &bus) const
{
    CanFactory made = can ? can : [bus]() -> std::unique_ptr<CanLink> {
        return std::make_unique<KTCanLink>(bus);
    };
    if (!canTap)
        return made;
    return [made = std::move(made), tap = canTap]() -> std::unique_ptr<CanLink> {
        std::unique_ptr<CanLink> link = made();
        return link ? tap(std::move(link)) : nullptr;
    };
}
