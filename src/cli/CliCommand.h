#pragma once

#include "transfer/TransferOutcome.h"

#include <QString>
#include <QStringList>

#include <vector>

// brasvik-cli: one command per source file, listed in CommandTable.cpp.

// The exit statuses are the transfers' (TransferOutcome.h), where a record's outcome maps to them.
using CliExit = TransferOutcomes::ExitStatus;
using TransferOutcomes::ExitAborted;
using TransferOutcomes::ExitDifferent;
using TransferOutcomes::ExitFailed;
using TransferOutcomes::ExitSuccess;
using TransferOutcomes::ExitUsage;

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
