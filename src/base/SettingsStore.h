#pragma once

#include <QString>

#include <memory>

class QSettings;

// Access to the program's settings file: on Linux the INI file
// $XDG_CONFIG_HOME/Halvero/BrasvikV6.ini, values at top level, COM port device paths in the
// group "Ports". Each call opens and closes the store, so an interrupted read or write never
// leaves a store object behind.
namespace SettingsStore {

std::unique_ptr<QSettings> open();

// Why the settings cannot be read, for the user: the settings file or its folder exists but
// cannot be read, or the file is not a regular file. Empty when the settings are readable or
// simply absent (a first start). The program then runs on the defaults.
QString readProblem();

// A value that is missing or not a plain decimal integer yields the default.
int readInteger(const QString &name, int defaultValue);
// Default false; any non-zero integer is true, and so are the words true and yes.
bool readBool(const QString &name);
// False when the store cannot be written.
bool writeInteger(const QString &name, int value);
bool writeBool(const QString &name, bool value);
// Parses a stored text the way readInteger does; false when it is not a plain decimal integer.
bool parsePlainInteger(const QString &text, int *value);
// Parses a stored flag: a plain decimal integer (non-zero is true) or, in any letter case,
// true/false or yes/no, as people write them by hand. False when it is none of these.
bool parseFlag(const QString &text, bool *value);

// Device path of COM<portIndex + 1> (portIndex 0..15): "Ports/COM<n>", default /dev/ttyS<n-1>.
// The stored text is the literal path, commas included; an empty value means the default.
// A path set with overrideComPortDevicePath wins for the rest of the process.
QString comPortDevicePath(int portIndex);
bool setComPortDevicePath(int portIndex, const QString &path);
void overrideComPortDevicePath(int portIndex, const QString &path);

// The boot line sequence of COM<portIndex + 1> as stored ("Ports/COM<n>BootLines"), commas
// included; empty when none is set. Its form is the transfer's business.
QString comPortBootLines(int portIndex);
// "COM<n>BootLines", the key in the group "Ports".
QString bootLinesKey(int portIndex);

// The CAN bus the dongle library opens, "plugin:interface" (value "CANBus"), default
// "socketcan:can0". An override wins for the rest of the process.
QString canBus();
bool setCanBus(const QString &bus);
void overrideCanBus(const QString &bus);

// Drops the in-process overrides (tests).
void clearOverrides();

} // namespace SettingsStore
