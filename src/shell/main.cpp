#include "AppIcon.h"
#include "BrasvikMain.h"
#include "BrasvikUpload.h"
#include "TransferWindows.h"

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

    // The transfer windows register here:
    // TransferWindows::setDownload(...) and TransferWindows::setUpload(...).
    TransferWindows::setUpload([](TBKMainForm &owner, bool) {
        TBKUploadForm form(&owner, owner.Serial, owner.Image, DeviceType, Settings,
                           [&owner](const QString &text) { owner.StatusPanels[2]->setText(text); });
        return form.exec();
    });

    TBKMainForm mainForm(QApplication::arguments().mid(1));
    mainForm.show();
    return app.exec();
}
