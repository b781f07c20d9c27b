#include "support/TestSetup.h"

TransferSetup testSetup(const QString &targetDir, TimerSource &clock, const QString &portPath,
                        const QString &canBus)
{
    TransferSetup setup;
    setup.portPath = portPath;
    setup.canBus = canBus.isEmpty() ? QStringLiteral("virtualcan:can0") : canBus;
    setup.targetDirectory = targetDir;
    setup.targetSearchPath = {targetDir};
    setup.clock = &clock;
    return setup;
}
