#pragma once

#include "comm/CanDongleLibrary.h"

#include <QCanBusFrame>

// Conversions between Qt's CAN frames and the library's message record.
namespace CanFrameMapping {

QCanBusFrame toFrame(const TCANMsg &msg);
// False for frames that carry nothing for the reader (invalid or unknown kinds).
bool fromFrame(const QCanBusFrame &frame, TCANMsg *msg);
// The status message the library reports for an error frame or a bus failure.
TCANMsg statusMessage(quint8 code);
// 2 overrun, 4 bus light, 8 bus heavy, 0x10 bus off.
quint8 statusCodeForErrorFrame(const QCanBusFrame &frame);

} // namespace CanFrameMapping
