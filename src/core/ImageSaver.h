#pragma once

#include "base/DeviceKind.h"
#include "core/UserMessage.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

struct ImageState;

// The Save command without its dialog: the window asks for the path with the dialog that
// `offersR86` chooses, then hands the path to `SaveImageFile`.
namespace ImageSaver {

inline const QString DialogTitle = QStringLiteral("Save as...");
inline const QString FilterB86 = QStringLiteral("Device dependent binary files (*.b86)");
inline const QString FilterR86 = QStringLiteral("Remote update binary files (*.r86)");
inline const QString DefaultSuffix = QStringLiteral("b86");

// The dialog's preset: FileName without its extension (empty without a file).
QString baseName(const ImageState &image);
// True for an operating-system image: the dialog offers B86 and R86, else B86 only.
bool offersR86(const ImageState &image);

enum class Outcome {
    WroteB86,
    WroteR86,
    NothingWritten, // an extension other than .b86/.r86 in the two-format dialog: silently
    Refused, // the R86 region runs past the end of the buffer: nothing written
    WriteFailed, // the file could not be written; an existing file is left intact
};

struct Result
{
    Outcome outcome = Outcome::NothingWritten;
    UserMessage message; // for Refused and WriteFailed

    bool ok() const { return outcome == Outcome::WroteB86 || outcome == Outcome::WroteR86; }
};

// Saves to `path` chosen in the dialog that offersR86() selected. With R86 offered, the
// extension decides (".b86" or ".r86" in any case, anything else writes nothing); otherwise a
// B86 file is written whatever the extension. After a B86 write FileName becomes `path` (and
// with R86 offered BinaryImage becomes true); after an R86 write of an image from an H86 file
// EndSector becomes 0. Nothing changes when nothing was written.
[[nodiscard]] Result SaveImageFile(ImageState &image, DeviceKind deviceType, const QString &path,
                                   const QDateTime &now = QDateTime::currentDateTime());

// Writes `data` to `path` atomically: on failure the file at `path` is left as it was. Only a
// regular file is replaced, and it keeps its permissions (see OutputFile).
[[nodiscard]] bool writeFileAtomically(const QString &path, QByteArrayView data,
                                       QString *errorText);

} // namespace ImageSaver
