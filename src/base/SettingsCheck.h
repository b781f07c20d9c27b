#pragma once

#include "base/DiagnosisCheck.h"

#include <QString>

#include <functional>

// The doctor's look at the settings file: found or not, readable and writable, and every value
// the program reads checked against the range it accepts, naming the key and the default that
// is used instead. Reads the file as the program does and never writes it.
namespace SettingsCheck {

struct Environment
{
    QString iniPath; // the settings file
    QString userName; // for the hints
    // Access as this user; tests running as root put a stricter rule in.
    std::function<bool(const QString &path)> canRead;
    std::function<bool(const QString &path)> canWrite;

    // The program's own settings file and the calling user's access.
    static Environment current();
};

DiagnosisChecks run(const Environment &env);

} // namespace SettingsCheck
