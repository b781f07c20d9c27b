#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// brasvik-cli: one command per source file, listed in CommandTable.cpp.

enum CliExit : int {
    ExitSuccess = 0,
    ExitUsage = 1, // bad usage, or an image that cannot be loaded
    ExitFailed = 2, // the transfer ended without success
    ExitAborted = 3, // the transfer could not start or was aborted
    ExitDifferent = 4, // compare found a difference
};

struct CliCommand
{
    QString name;
    QString summary; // one line in the tool's list of commands
    // What "brasvik-cli NAME --help" prints: usage line(s), what the command does, its
    // arguments and options.
    QString usage;
    int (*run)(const QStringList &args) = nullptr; // the arguments after the command name
};

const std::vector<CliCommand> &cliCommands();
// The command of that name, or nullptr.
const CliCommand *findCliCommand(const QString &name);
// The tool's help: how it is called, the commands and the exit statuses.
QString cliToolHelp();
// The exit statuses as the help lists them.
QString cliExitStatusHelp();

// stdout carries only the log, the report and help asked for; everything else goes to
// stderr.
void printOut(const QString &text);
void printErr(const QString &text);
// "brasvik-cli: " + text on stderr; returns ExitUsage.
int usageError(const QString &text);
