#include "cli/CliCommand.h"
#include "base/SettingsStore.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

void printOut(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
}

void printErr(const QString &text)
{
    std::fflush(stdout);
    std::fputs(text.toLocal8Bit().constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

int usageError(const QString &text)
{
    printErr(QStringLiteral("brasvik-cli: ") + text);
    return ExitUsage;
}

namespace {

void printUsage()
{
    QString text = QStringLiteral("Usage:\n");
    for (const CliCommand &command : cliCommands())
        text += QStringLiteral("  brasvik-cli ") + command.synopsis + u'\n';
    text += QStringLiteral("\nExit status: 0 success, 1 bad usage or image not loaded, "
                           "2 transfer ended without success, 3 transfer aborted, "
                           "4 compare found a difference.");
    printErr(text);
}

} // namespace

int main(int argc, char *argv[])
{
    // A closed stdout must not kill the transfer halfway; the ports still get closed.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Halvero"));
    QCoreApplication::setApplicationName(QStringLiteral("BrasvikV6"));

    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty() || args.first() == QLatin1String("--help")
        || args.first() == QLatin1String("-h")) {
        printUsage();
        return args.isEmpty() ? ExitUsage : ExitSuccess;
    }
    if (const QString problem = SettingsStore::readProblem(); !problem.isEmpty())
        printErr(QStringLiteral("brasvik-cli: ") + problem);
    const QString name = args.takeFirst();
    for (const CliCommand &command : cliCommands()) {
        if (command.name == name)
            return command.run(args);
    }
    usageError(QStringLiteral("unknown command \"%1\"").arg(name));
    printUsage();
    return ExitUsage;
}
