#pragma once

#include "base/DeviceKind.h"

#include <QString>
#include <QtGlobal>

// The two target programs of a transfer (a small loader, then the program that does the work)
// are Intel HEX files. They are looked up in the folder "H86" beside the executable, then in
// the user's data folder, then in the system's, where an administrator puts the device
// maker's files; a folder named for one run with --h86-dir replaces that search. Shared by
// the download and the upload.
namespace TargetFiles {

enum class Direction { Download, Upload };

// Bare file names of the loader and the program, e.g. "DLoader.H86" and "Download.H86".
struct Names
{
    QString loader;
    QString program;
};

// The choice by data kind, device type (46xx, anything else = 4610 board), COMInterface
// (0 = RS-232; 1, 2 = CAN1, CAN2; only for the 46xx devices) and CAN bit-rate code
// (6 = 250 kbit/s, 7 = 500 kbit/s, any other = 125 kbit/s).
Names choose(Direction direction, bool retainValues, DeviceKind deviceType, int comInterface,
             int canBaudrate);

// True exactly when a transfer with these selections runs its data phase over CAN.
bool usesCan(DeviceKind deviceType, int comInterface);

// The folders searched, in order: the one set by setDirectory alone, else "H86" beside the
// executable, userDirectory() and systemDirectory().
QStringList searchPath();
// True while setDirectory has named a folder.
bool directoryOverridden();
// $XDG_DATA_HOME/Halvero/BrasvikV6/H86 (default ~/.local/share/...).
QString userDirectory();
// DATADIR/brasvikv6/H86 of the install prefix (/usr/share/brasvikv6/H86 for the package).
QString systemDirectory();

// The folder a transfer takes both its files from: the first of `folders` that holds target
// programs (*.H86, any case), else the first that exists, else the first. Both files of a pair
// come from one folder, so a loader never meets a program of another delivery.
QString chooseDirectory(const QStringList &folders);

// chooseDirectory(searchPath()).
QString directory();
// Sets the folder for the rest of this process (the --h86-dir option); empty restores the search.
void setDirectory(const QString &dir);

// Full path of the file `name` in `dir`, matched without regard to letter case (files copied
// from another system often change case). An exact match wins; without any match the path
// `dir`/`name` is returned, so that exists() on it fails and messages name the expected file.
QString resolve(const QString &dir, const QString &name);

} // namespace TargetFiles
