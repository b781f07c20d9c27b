#pragma once

#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <optional>

// The kind of target a transfer or an image is for. The numeric values are the ones the device
// type has always had (0 = not chosen yet).
enum class DeviceKind : quint8 {
    None = 0,
    Device46xx = 1, // a 46xx motion controller
    Board4610 = 2, // the 4610 converter board
};

// The short name records, lists and the command line use: "4610" for the board and "46xx"
// otherwise. A type not chosen yet reads as 46xx, the default of every transfer.
QString deviceKindName(DeviceKind kind);

// The kind a short name stands for: "46xx" in any letter case or "4610"; nothing for any other
// text.
std::optional<DeviceKind> deviceKindFromName(QStringView name);
