#pragma once

#include "comm/CanDongleLibrary.h"

#include <QCanBusFrame>
#include <QString>

// Conversions between Qt's CAN frames and the library's message record.
namespace CanFrameMapping {

QCanBusFrame toFrame(const TCANMsg &msg);
// False for frames that carry nothing for the reader: invalid or unknown kinds, and error
// frames that report no state of the dongle itself.
bool fromFrame(const QCanBusFrame &frame, TCANMsg *msg);
// The status message the library reports for a dongle state or a bus failure.
TCANMsg statusMessage(quint8 code);
// The dongle's own state in an error frame: 0x10 bus off, 2 receive or transmit overflow,
// 8 error-passive, 4 error-warning. 0 for everything else (lost arbitration, protocol and
// acknowledgement errors, the return to error-active, a restart): passing troubles of the
// bus that the controller rides out.
quint8 statusCodeForErrorFrame(const QCanBusFrame &frame);
// One line for the log.
QString describeErrorFrame(const QCanBusFrame &frame);

} // namespace CanFrameMapping
