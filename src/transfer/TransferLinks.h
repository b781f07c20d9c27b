#pragma once

#include "transfer/CanLink.h"
#include "transfer/SerialLink.h"

#include <functional>
#include <memory>

class TKTSerial;

// Makes the links a transfer drives. The window and the command-line tool take one instead of
// building KTSerialLink and KTCanLink themselves, so that a test hands in fakes and a run over
// several ports makes a pair per port. Empty members stand for the real links.
struct TransferLinks
{
    // A serial link over `serial`, which is borrowed and outlives the link.
    using SerialFactory = std::function<std::unique_ptr<SerialLink>(TKTSerial &serial)>;
    // A fresh CAN link for each opening of the CAN phase.
    using CanFactory = std::function<std::unique_ptr<CanLink>()>;

    SerialFactory serial;
    CanFactory can;
    // Wrap every link made, real or not (a trace of what goes over them); empty: none.
    std::function<std::unique_ptr<SerialLink>(std::unique_ptr<SerialLink>)> serialTap;
    std::function<std::unique_ptr<CanLink>(std::unique_ptr<CanLink>)> canTap;

    // The links over the serial component and the CAN thread.
    static TransferLinks real();

    std::unique_ptr<SerialLink> makeSerial(TKTSerial &component) const;
    // What a transfer takes as its CAN factory; it copies the member, so the transfer does not
    // depend on this value living on. The real links open `bus` when the transfer's params name
    // none (empty: the "CANBus" setting).
    CanFactory canFactory(const QString &bus = {}) const;
};
