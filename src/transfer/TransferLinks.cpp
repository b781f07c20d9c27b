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
    if (serial)
        return serial(component);
    return std::make_unique<KTSerialLink>(component);
}

TransferLinks::CanFactory TransferLinks::canFactory(const QString &bus) const
{
    if (can)
        return can;
    return [bus]() -> std::unique_ptr<CanLink> {
        return std::make_unique<KTCanLink>(bus);
    };
}
