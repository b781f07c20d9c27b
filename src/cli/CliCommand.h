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
    QString synopsis; // the usage line(s) after "brasvik-cli "
    int (*run)(const QStringList &args) = nullptr; // the arguments after the command name
};

const std::vector<CliCommand> &cliCommands();

// stdout carries only the log and the report; everything else goes to stderr.
void printOut(const QString &text);
void printErr(const QString &text);
// "brasvik-cli: " + text on stderr; returns ExitUsage.
int usageError(const QString &text);
