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
