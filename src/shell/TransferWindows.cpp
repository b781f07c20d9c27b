#include "shell/TransferWindows.h"

#include "shell/BrasvikMain.h"
#include "base/ModalResult.h"

#include <QDialog>
#include <QTimer>

namespace TransferWindows {

namespace {

struct Registry
{
    DownloadWindow download;
    UploadWindow upload;
};

Registry &registry()
{
    static Registry r;
    return r;
}

int placeholder(TBKMainForm &owner, const QString &caption)
{
    QDialog window(&owner);
    window.setWindowTitle(caption);
    QTimer::singleShot(0, &window, [&window] { window.done(mrAbort); });
    return window.exec();
}

} // namespace

void setDownload(DownloadWindow window)
{
    registry().download = std::move(window);
}

void setUpload(UploadWindow window)
{
    registry().upload = std::move(window);
}

int openDownload(TBKMainForm &owner)
{
    if (registry().download)
        return registry().download(owner);
    return placeholder(owner, QStringLiteral("Download"));
}

int openUpload(TBKMainForm &owner, bool compare)
{
    if (registry().upload)
        return registry().upload(owner, compare);
    return placeholder(owner, QStringLiteral("Upload"));
}

} // namespace TransferWindows
