#pragma once

#include "base/DeviceKind.h"
#include "core/UserMessage.h"

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <functional>

struct ImageState;

// Loading an image file (H86 or B86) into the image state, without any dialog: the caller
// supplies the device-type question and shows the message of a failed load.
namespace ImageLoader {

inline const QString TextInvalidFileType = QStringLiteral("Invalid file type!");
inline const QString TextInvalidHexFileType = QStringLiteral("Invalid HEX file type!");
inline const QString TextDeviceMismatch
    = QStringLiteral("HEX file and device type does not match!");

enum class Error {
    None,
    Cancelled, // the device-type question was cancelled: nothing changed
    InvalidFileType, // extension, or a B86 length or trailer that no image has
    InvalidHexFileType, // a type-02 record
    DeviceMismatch, // H86 data beyond the device's flash
    LineTooShort,
    NotText,
    InvalidRecord, // a damaged H86 record: start code, digits, byte count or checksum
    NoData, // an H86 file without a single data byte
    // A type-04 record beyond the device's flash: the previous image and device type stay
    UpperAddressBeyondFlash,
    CannotOpen,
    CannotRead,
};

struct Result
{
    Error error = Error::None;
    UserMessage message; // empty on success and on Cancelled
    QString contentText; // on success: the text for the status bar

    bool ok() const { return error == Error::None; }
    bool cancelled() const { return error == Error::Cancelled; }
    // A refusal that left the previous image and device type as they were: only the message
    // is to be shown.
    bool imageKept() const { return error == Error::UpperAddressBeyondFlash; }
};

// Asks for the device type before an H86 file is read: sets `deviceType` to a 46xx
// device or the 4610 board and returns true, or returns false when the user cancels.
using AskDeviceType = std::function<bool(DeviceKind &deviceType)>;

// Whether `path` is read as an H86 (Intel HEX) file: the extension .h86, .hex or .ihx in any
// letter case. Every other extension is left to the B86 check.
bool isH86Path(const QString &path);

// Loads `path` into `image`. For an H86 file `deviceType` is cleared and `askDeviceType` called
// first; a cancel restores `deviceType` and leaves the image untouched, and so does a refusal
// for which imageKept() holds. On any other failure no image remains (FileName empty, buffer
// empty, ViewSize 0x100000) and `deviceType` keeps what was chosen or derived so far. A B86
// file sets `deviceType` from its length.
[[nodiscard]] Result LoadImageFile(ImageState &image, const QString &path, DeviceKind &deviceType,
                                   const AskDeviceType &askDeviceType);

// The readers on bytes already in memory, for the command-line tool, tests and fuzzing. They
// set every field but FileName; on failure the image is left reset. `displayName` names the
// file in messages.
[[nodiscard]] Result LoadH86Data(ImageState &image, QByteArrayView text, DeviceKind deviceType,
                                 const QString &displayName = {});
[[nodiscard]] Result LoadB86Data(ImageState &image, QByteArrayView data, DeviceKind &deviceType,
                                 const QString &displayName = {});

} // namespace ImageLoader
