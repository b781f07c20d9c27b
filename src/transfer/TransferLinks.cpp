#include "transfer/TransferLinks.h"

#include "transfer/KTCanLink.h"
#include "transfer/KTSerialLink.h"

TransferLinks TransferLinks::real()
{
    TransferLinks links;
    links.serial = [](TKTSerial &serial) -> std::unique_ptr<SerialLink> {
        return std::make_unique<KTSerialLink>(serial);
    };
    links.can = []() -> std::unique_ptr<CanLink> { return std::make_unique<KTCanLink>(); };
    return links;
}

std::unique_ptr<SerialLink> TransferLinks::makeSerial(TKTSerial &component) const
{
    if (serial)
        return serial(component);
    return std::make_unique<KTSerialLink>(component);
}

TransferLinks::CanFactory TransferLinks::canFactory() const
{
    if (can)
        return can;
    return []() -> std::unique_ptr<CanLink> { return std::make_unique<KTCanLink>(); };
}
