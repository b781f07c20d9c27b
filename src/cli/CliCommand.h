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
    QString synopsis; // the usage line(s) after "brasvik-cli "
    int (*run)(const QStringList &args) = nullptr; // the arguments after the command name
};

const std::vector<CliCommand> &cliCommands();

// stdout carries only the log and the report; everything else goes to stderr.
void printOut(const QString &text);
void printErr(const QString &text);
// "brasvik-cli: " + text on stderr; returns ExitUsage.
int usageError(const QString &text);
