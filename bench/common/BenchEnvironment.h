#pragma once

#include <QCoreApplication>
#include <QFile>

// Where a benchmark finds the simulator and the stand-in target programs unless the environment
// says otherwise: beside the benchmark, and in the source tree it was built from.
inline void setBenchEnvironment(const char *sourceDir)
{
    if (qEnvironmentVariableIsEmpty("BRASVIK_BIN_DIR"))
        qputenv("BRASVIK_BIN_DIR", QFile::encodeName(QCoreApplication::applicationDirPath()));
    if (qEnvironmentVariableIsEmpty("BRASVIK_SOURCE_DIR"))
        qputenv("BRASVIK_SOURCE_DIR", sourceDir);
}

#include "base/SettingsStore.h"
#include "support/SimDevice.h"
#include "transfer/TransferSetup.h"

// A transfer's setup for a benchmark: COM1 and the CAN bus as the settings (and their overrides)
// name them, the simulator's stand-in target programs, the system's clock.
inline TransferSetup benchSetup()
{
    TransferSetup setup;
    setup.portName = QStringLiteral("COM1");
    setup.portPath = SettingsStore::comPortDevicePath(0);
    setup.canBus = SettingsStore::canBus();
    setup.targetDirectory = SimDevice::h86Directory();
    setup.targetSearchPath = {setup.targetDirectory};
    return setup;
}
