#pragma once

#include "support/MachineDriver.h"

#include <QList>
#include <QString>

// Inputs written as a line of tokens, so that a protocol case is one row:
//   c5       one read of the bytes in hex ("aa0b": both in one read)
//   T        the watchdog runs out        B   user break         C   the CAN phase starts
//   E        a line error (overrun)       X   a CAN dongle error
//   5bf:55   a CAN frame: identifier, then the data bytes in hex ("5bf:" has none)
//   55*3     the token before "*" that many times
QList<MachineInput> machineScript(const QString &line);
