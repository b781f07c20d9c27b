#pragma once

#include "base/BKGlobal.h"
#include "core/SectorMap.h"
#include "download/DownloadMachine.h"
#include "transfer/TransferSession.h"

#include <QByteArray>
#include <QString>

#include <memory>

struct ImageState;

// Everything a download takes over from the main window when it starts: its own copy of the
// image and of the fields that describe it, and the selections that choose the target files and
// the ports.
struct DownloadRequest
{
    QByteArray image;
    QString fileName;
    qint32 firstSector = 0;
    qint32 endSector = 0;
    qint32 dataEnd = 0;
    bool retainData = false;
    DeviceKind deviceType = DeviceKind::Device46xx;
    TSettings settings;
    // A flash download may start at a later sector of the image than its first (canResumeAt):
    // the device erases and programs only from there on, and the sectors below stay as they are.
    qint32 resumeSector = -1;
    QString resumeNote; // the first log line of a resumed download
    // After a failure in programming, the final report names the sector to resume from.
    bool reportResumeSector = false;

    // The main window's image state and the selections of the command.
    static DownloadRequest fromImage(const ImageState &image, DeviceKind deviceType,
                                     const TSettings &settings);
};

// One download into the device: flash programming over RS-232, retain values (also the NV part
// of the combined 4610 image), or either of them over CAN after the start over RS-232. The
// session runs the machine the request calls for.
class DownloadTransfer : public TransferSession
{
    Q_OBJECT
public:
    DownloadTransfer(SerialLink &serial, CanLinkFactory canFactory, DownloadRequest request,
                     const TransferSetup &setup, QObject *parent = nullptr);
    ~DownloadTransfer() override;

    // Whether `request` may start at `sector`: flash of a 46xx device, the sector within the
    // image's sectors that hold data. False with the reason in `why`.
    static bool canResumeAt(const DownloadRequest &request, qint32 sector, QString *why = nullptr);
    // The SHA-256 over the data bytes of all the image's blocks, as the record's fingerprint of a
    // download of `request` has it, resumed or not.
    static QByteArray imageFingerprint(const DownloadRequest &request);
    // What a download of `request` programs: blocks from the request's first sector on, all of
    // the image's data from `imageStart` on (default: that sector) being planned; `sha256`
    // receives the fingerprint of those data.
    static DownloadJob jobFor(const DownloadRequest &request, qint64 imageStart = -1,
                              QByteArray *sha256 = nullptr);
    // The machine a download of `request` runs, given the job it programs.
    static std::unique_ptr<DownloadMachine> machineFor(const DownloadRequest &request,
                                                       DownloadJob job);

    bool retainData() const { return m_request.retainData; }
    qint32 bytesProgrammed() const;
    qint64 progressMinimum() const;
    qint64 progressMaximum() const { return m_request.dataEnd; }
    const DownloadRequest &request() const { return m_request; }

protected:
    QString finalReportText() const override;

private:
    DownloadRequest m_request;
};
