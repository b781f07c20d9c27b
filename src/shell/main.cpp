#include "base/ModalResult.h"
#include "download/DownloadTransfer.h"
#include "shell/AppIcon.h"
#include "shell/BrasvikDownload.h"
#include "shell/BrasvikMain.h"
#include "shell/BrasvikUpload.h"
#include "shell/TransferWindows.h"
#include "transfer/TargetFiles.h"

#include <QApplication>
#include <QIcon>
#include <QLabel>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("BrasvikV6"));
    QApplication::setOrganizationName(QStringLiteral("Halvero"));
    QApplication::setApplicationVersion(QStringLiteral(BRASVIK_VERSION));
    QApplication::setWindowIcon(BrasvikAppIcon());
    // Without a desktop theme the toolbar still gets full-size icons where Adwaita is installed.
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
        QIcon::setThemeName(QStringLiteral("Adwaita"));

    // The windows that the Download, Upload and Compare commands end in.
    TransferWindows::setUpload([](TBKMainForm &owner, bool) {
        TBKUploadForm form(&owner, owner.Serial, owner.Image, DeviceType, Settings,
                           [&owner](const QString &text) { owner.StatusPanels[2]->setText(text); });
        return form.exec();
    });

    TransferWindows::setDownload([](TBKMainForm &owner) {
        const DownloadResumeOffer::Choice resume = DownloadResumeOffer::offer(
            &owner, DownloadRequest::fromImage(owner.Image, DeviceType, Settings),
            int(owner.Serial.PortName()), TBKDownloadForm::askResume);
        if (resume.kind == DownloadResumeOffer::Choice::Kind::Cancel)
            return int(mrCancel);
        TBKDownloadForm form(
            &owner, owner.Serial, owner.Image, DeviceType, Settings,
            [&owner](const QString &text) { owner.StatusPanels[2]->setText(text); }, resume);
        return form.exec();
    });

    // --h86-dir DIR names another folder of target programs for this run; the image path stays
    // the one positional argument.
    QStringList args = QApplication::arguments().mid(1);
    for (qsizetype i = 0; i < args.size();) {
        if (args.at(i) == QLatin1String("--h86-dir") && i + 1 < args.size()) {
            TargetFiles::setDirectory(args.at(i + 1));
            args.remove(i, 2);
        } else if (args.at(i).startsWith(QLatin1String("--h86-dir="))) {
            TargetFiles::setDirectory(args.at(i).mid(10));
            args.remove(i);
        } else {
            ++i;
        }
    }

    TBKMainForm mainForm(args);
    mainForm.show();
    return app.exec();
}
