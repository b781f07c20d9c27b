#pragma once

#include "transfer/TransferSetup.h"

// A transfer's setup in a test: a port without a name on `portPath`, the target programs from
// `targetDir`, the CAN bus `canBus`, time from `clock`.
TransferSetup testSetup(const QString &targetDir, TimerSource &clock = TimerSource::system(),
                        const QString &portPath = {}, const QString &canBus = {});
