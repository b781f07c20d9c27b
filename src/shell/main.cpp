#include "base/SettingsStore.h"
#include "base/ModalResult.h"
#include "download/DownloadTransfer.h"
#include "shell/AppIcon.h"
#include "shell/BrasvikDownload.h"
#include "shell/BrasvikMain.h"
#include "shell/BrasvikUpload.h"
#include "shell/TransferWindows.h"
#include "transfer/TargetFiles.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QLabel>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Whether argv asks for the usage or the version, which need no window and so no display.
bool asksForHelpOrVersion(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        for (const char *option : {"-h", "--help", "--help-all", "-v", "--version"}) {
            if (std::strcmp(argv[i], option) == 0)
                return true;
        }
    }
    return false;
}

// Prints the usage or the version through QCommandLineParser and exits.
[[noreturn]] void showHelpOrVersion(int argc, char *argv[])
{
    QCoreApplication core(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Loads a firmware image (H86 Intel HEX, B86 raw dump), shows it in a hex viewer and "
        "programs it into a VMC motion controller or reads the device back.\n"
        "Without a display, use brasvik-cli."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(QCommandLineOption(QStringLiteral("h86-dir"),
                                        QStringLiteral("Take the target programs from <dir> for "
                                                       "this run instead of searching for them."),
                                        QStringLiteral("dir")));
    parser.addPositionalArgument(QStringLiteral("image"),
                                 QStringLiteral("An image file to load; its Download follows."),
                                 QStringLiteral("[image]"));
    parser.process(core); // prints and exits for --help and --version
    std::exit(0);
}

// Qt aborts when it cannot open a display; say why before it tries. A platform named through
// QT_QPA_PLATFORM or -platform (offscreen, vnc, ...) needs none.
bool displayAvailable(int argc, char *argv[])
{
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        if (!qEnvironmentVariableIsEmpty(variable))
            return true;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    }
    return false;
}

void printNoDisplay()
{
    std::fprintf(stderr, "%s: no display: set DISPLAY or use brasvik-cli\n",
                 qPrintable(QCoreApplication::applicationName()));
}

// A display that is named but cannot be reached (a dead X server or Wayland compositor, a bogus
// QT_QPA_PLATFORM) makes Qt abort while the application starts: say why, after Qt's own
// warnings, and exit 1 as without a display.
QtMessageHandler qtMessageHandler = nullptr;

void exitOnFatalStart(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtFatalMsg) {
        qtMessageHandler(type, context, message);
        return;
    }
    printNoDisplay();
    std::_Exit(1);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("BrasvikV6"));
    QCoreApplication::setOrganizationName(QStringLiteral("Halvero"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BRASVIK_VERSION));
    if (asksForHelpOrVersion(argc, argv))
        showHelpOrVersion(argc, argv);
    if (!displayAvailable(argc, argv)) {
        printNoDisplay();
        return 1;
    }

    qtMessageHandler = qInstallMessageHandler(exitOnFatalStart);
    QApplication app(argc, argv);
    qInstallMessageHandler(qtMessageHandler);
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
            SettingsStore::comPortDevicePath(int(owner.Serial.PortName())),
            TBKDownloadForm::askResume);
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
