#pragma once

#include "base/DeviceKind.h"
#include "core/SectorMap.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The one firmware image the main window holds: the bytes and the fields that say what they
// are. The main window owns an instance; the download window copies it, the upload window
// replaces its buffer. Used on the GUI thread only.
struct ImageState
{
    QByteArray ImageBuffer;
    // Full path of the file the image came from or was last saved to; after an upload, the
    // upload's base name plus ".b86". Empty means there is no image.
    QString FileName;
    qint32 ViewSize = FlashSize46xx; // bytes the viewer shows, from offset 0
    qint32 DataEnd = 0; // exclusive end of the meaningful data
    qint32 FirstSector = 0;
    qint32 EndSector = 0; // 0 = up to the end of the flash
    bool RetainData = false; // NV RAM contents, not flash
    bool BinaryImage = false; // from a B86 file, an upload or a B86 save
    bool CompareMode = false;
    QString UploadChoiceText;

    bool hasImage() const { return !FileName.isEmpty(); }

    // True when a download has data to program: the image's data range
    // (from the first sector's start, or 0 for retain values, up to DataEnd within the buffer)
    // is not empty. A download without data would erase flash and program nothing, so it is
    // refused before any port is opened.
    bool hasDataToDownload() const;
    // The refusal shown when hasDataToDownload() is false.
    QString noDataToDownloadText() const;

    // Discards the image before a load: no file, empty buffer, full-flash view size, no
    // retain values. The other fields are set by whatever fills the buffer next.
    void reset();

    // "BrasvikV6" without an image, else "BrasvikV6 - " and the file name without directory.
    QString caption() const;

    // Derives the fields after an upload has replaced ImageBuffer (not in compare mode).
    // Returns the content text, which still reflects the upload choice's sectors.
    QString applyUploadedImage(DeviceKind deviceType);

    // Sets the compared region before "Upload and compare...": UploadChoiceText takes the
    // content text shown now; an image from an H86 file gets the end sector of its data.
    void prepareCompare(DeviceKind deviceType, const QString &contentText);
};
