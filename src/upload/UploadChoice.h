#pragma once

#include "base/BKGlobal.h"

#include <QString>
#include <QStringList>

#include <optional>

// What an upload reads: the entries of the upload-choice dialog, in its order.
enum class UploadChoice {
    Flash, // the whole flash (4610 board: its firmware image with NV parameters)
    OperatingSystem, // sectors 0..11
    Parameters, // curve and system parameters, sectors 17..19
    PlcProject, // CoDeSys PLC project completely, sectors 11..17
    PlcCode, // CoDeSys PLC program code, sectors 11..15
    PlcData, // CoDeSys PLC data, sectors 15..17
    Retain, // the retain values (NV RAM)
};

// The request an upload choice makes of the upload window: the region and the name it is
// shown and saved under.
struct UploadRequest
{
    qint32 FirstSector = 0;
    qint32 EndSector = 0; // exclusive; equal to FirstSector for the whole flash
    bool RetainData = false;
    QString UploadChoiceText;
};

namespace UploadChoices {

// Command-line names: flash, os, parameters, plc, plc-code, plc-data, retain.
QString name(UploadChoice choice);
std::optional<UploadChoice> fromName(const QString &name);
QStringList names();

// The dialog's caption of the entry; the flash entry depends on the device type.
QString caption(UploadChoice choice, DeviceKind deviceType);

// The setting that offers the choice ("UploadOpt1" .. "UploadOpt6"); empty for the flash entry,
// which is always offered.
QString settingName(UploadChoice choice);

// Whether the dialog offers the choice: the flash entry always; the others only for a 46xx
// device whose setting is on.
bool offered(UploadChoice choice, DeviceKind deviceType, const TSettings &settings);

// The fields the dialog's OK sets for the choice.
UploadRequest request(UploadChoice choice, DeviceKind deviceType);

} // namespace UploadChoices
