#pragma once

#include "base/BKGlobal.h"
#include "transfer/ResumePoint.h"
#include "transfer/ServiceRecord.h"

#include <QString>

#include <functional>

class QWidget;
struct DownloadRequest;
struct ImageState;

// Before a Download: when the last transfer on the port was a download of the same image that
// stopped after programming began, the user is asked whether to resume it there.
namespace DownloadResumeOffer {

struct Choice
{
    enum class Kind { Whole, Resume, Cancel };
    Kind kind = Kind::Whole;
    qint32 sector = -1; // with Resume
    QString note; // with Resume: the log line that says so
};

// The question's buttons; the window asks with a message box (TBKDownloadForm::askResume).
enum class Answer { Yes, No, Cancel };
using Ask = std::function<Answer(QWidget *owner, const QString &text)>;

// "The last download of this image stopped in sector N. Resume from there? No programs the whole
// image."
QString questionText(qint32 sector);

// Looks the last transfer on `portIndex` up in the service record at `recordPath` and asks
// through `ask` when `request` can pick it up: Yes resumes, No downloads whole, Cancel downloads nothing. Without a
// download to resume nothing is asked and the answer is Whole.
Choice offer(QWidget *owner, const DownloadRequest &request, const QString &portPath,
             const Ask &ask, const QString &recordPath = ServiceRecord::defaultPath());

// What `request`'s image programs between two sectors, for checking a record's resume point.
ResumePoint::DataBytes dataBytes(const DownloadRequest &request);

// Sets `request` up to start as `choice` says.
void apply(const Choice &choice, DownloadRequest *request);

} // namespace DownloadResumeOffer
