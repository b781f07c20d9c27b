#pragma once

#include "transfer/TargetFiles.h"
#include "upload/UploadChoice.h"
#include "upload/UploadTransfer.h"

#include <QDir>
#include <QFile>

// The setup of an upload of `choice` from `deviceType` over `comInterface` (0: RS-232) at
// `baudrateOrdinal`, as the upload window would make it.
inline UploadSetup uploadSetupFor(UploadChoice choice, DeviceKind deviceType, int comInterface = 0,
                                  int baudrateOrdinal = UploadSetup().baudrateOrdinal)
{
    const UploadRequest req = UploadChoices::request(choice, deviceType);
    UploadSetup s;
    s.deviceType = deviceType;
    s.FirstSector = req.FirstSector;
    s.EndSector = req.EndSector;
    s.RetainMode = req.RetainData;
    s.UploadChoiceText = req.UploadChoiceText;
    s.comInterface = comInterface;
    s.baudrateOrdinal = baudrateOrdinal;
    return s;
}

// Stand-in target programs under `names` in `dir`: a loader sending 11 22 33 44 and a program
// sending AA BB CC. False when either could not be written.
inline bool writeStandInTargets(const QString &dir, const TargetFiles::Names &names)
{
    QFile loader(QDir(dir).filePath(names.loader));
    QFile program(QDir(dir).filePath(names.program));
    return loader.open(QIODevice::WriteOnly)
        && loader.write(":0400000011223344FF\r\n:00000001FF\r\n") > 0
        && program.open(QIODevice::WriteOnly) && program.write(":03000000AABBCCFF\r\n") > 0;
}
