#pragma once

#include "base/TimerSource.h"
#include "transfer/TargetDiagnosis.h"

#include <QString>
#include <QStringList>

// Everything a transfer session takes from its surroundings, handed in as a value by the window
// or the command-line tool: nothing below them reads the settings store, a process-wide target
// folder or the process-wide selections.
struct TransferSetup
{
    // The serial port, for the record and the messages: "COM1" and its device path.
    QString portName;
    QString portPath;
    // The unit on the port (--unit), for the record; empty: not named.
    QString unitId;
    // Boot entry through the modem lines in place of the boot prompt (empty: the prompt), and
    // where the sequence came from, for an error ("Ports/COM1BootLines", "--boot-lines").
    QString bootLines;
    QString bootLinesOrigin;
    // The CAN bus a CAN transfer opens, "plugin:interface".
    QString canBus;
    // The folder both target programs are taken from.
    QString targetDirectory;
    // The folders that were searched for it, for the message when a file is missing.
    QStringList targetSearchPath;
    // Whose messages: the window's hints name what the window offers.
    TargetDiagnosis::FrontEnd frontEnd = TargetDiagnosis::FrontEnd::CommandLine;
    // Watchdog, short waits, idle actions, the used time and the record's times.
    TimerSource *clock = &TimerSource::system();
};
