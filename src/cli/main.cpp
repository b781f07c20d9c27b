#include "cli/CliCommand.h"
#include "base/SettingsStore.h"
#include "cli/CliOptions.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

// Lines go out through fprintf, the call the hardened build fortifies (and that lintian looks
// for to see that it did).
void printOut(const QString &text)
{
    std::fprintf(stdout, "%s\n", text.toLocal8Bit().constData());
}

void printErr(const QString &text)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

int usageError(const QString &text)
{
    printErr(QStringLiteral("brasvik-cli: ") + text);
    return ExitUsage;
}

namespace {

// Help texts end in a newline of their own.
void printHelp(const QString &text, std::FILE *to)
{
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fflush(to);
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
    if (args.isEmpty()) {
        printHelp(cliToolHelp(), stderr);
        return ExitUsage;
    }
    const QString first = args.takeFirst();
    if (first == QLatin1String("--version")) {
        printOut(QStringLiteral("brasvik-cli " BRASVIK_VERSION));
        return ExitSuccess;
    }
    if (first == QLatin1String("--help") || first == QLatin1String("-h")) {
        // "--help COMMAND" is the command's help.
        const CliCommand *command = args.isEmpty() ? nullptr : findCliCommand(args.first());
        printHelp(command ? command->usage : cliToolHelp(), stdout);
        return ExitSuccess;
    }
    const CliCommand *command = findCliCommand(first);
    if (!command) {
        usageError(first.startsWith(u'-') ? QStringLiteral("unknown option %1").arg(first)
                                          : QStringLiteral("unknown command \"%1\"").arg(first));
        printHelp(cliToolHelp(), stderr);
        return ExitUsage;
    }
    if (CliOptions::helpRequested(args)) {
        printHelp(command->usage, stdout);
        return ExitSuccess;
    }
    if (const QString problem = SettingsStore::readProblem(); !problem.isEmpty())
        printErr(QStringLiteral("brasvik-cli: ") + problem);
    return command->run(args);
}
