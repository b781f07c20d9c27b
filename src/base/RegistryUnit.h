#pragma once

#include "base/BKGlobal.h"

#include <QString>

#include <memory>

class QSettings;

// Persistence of the configuration: read once at start, written once at exit. The record part
// needs Qt Core only, so the command-line tool loads the same settings as the main window.
namespace RegistryUnit {

// The two properties of the serial component that are persisted with the record.
struct TSerialSelection
{
    int PortIndex = 0; // TPort ordinal, 0 = COM1 .. 15 = COM16
    int Baudrate = 7; // TBaudrate ordinal, 0 = 1200 .. 8 = 115200 bit/s
};

// Outer geometry and state of the main window; State 0 = normal, 1 = minimised, 2 = maximised.
struct TWindowPlacement
{
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
    int State = 0;
};

constexpr int PortCount = 16;
constexpr int BaudrateCount = 9;
constexpr int StateNormal = 0;
constexpr int StateMinimized = 1;
constexpr int StateMaximized = 2;

// The helpers work on one open store object ("key"); a missing value, or one that is not a
// plain decimal integer, yields the default. A flag is also read from true/false or yes/no.
int ReadInteger(QSettings &key, const QString &name, int defaultValue);
bool ReadBool(QSettings &key, const QString &name);
// False (and nothing written) when the store cannot be written.
bool WriteInteger(QSettings &key, const QString &name, int value);
bool WriteBool(QSettings &key, const QString &name, bool value);
// Creates the settings file's folder so that the first save can write.
bool CreateKeyIfMissing();

// Range checks for stored values: anything outside its range counts as missing.
bool ValidBaudrate(int ordinal);
bool ValidBrDefault(int ordinal);
bool ValidBrCVBRDx(int ordinal);
bool ValidCANBaudrate(int code);

// Reads the record and the serial selection. Serial.Baudrate passes its current value in as the
// default for a missing "Baudrate". A disabled CAN dongle forces COMInterface to RS-232.
void LoadSettings(TSettings &settings, TSerialSelection &serial);
// Writes them back; false when the store could not be written.
bool SaveSettings(const TSettings &settings, const TSerialSelection &serial);

// Window placement: a value that is missing or not an integer keeps the default passed in, a
// "State" outside 0..2 as well. Whether the geometry is on a screen is the window's business.
TWindowPlacement LoadPlacement(const TWindowPlacement &defaults);
// Stores "State"; the geometry only for a window in the normal state, so a maximised window
// keeps the last normal geometry.
bool SavePlacement(const TWindowPlacement &placement);

} // namespace RegistryUnit
