#include "cli/CliCommand.h"

// Each command lives in its own file; add new ones to this table.
int runInfo(const QStringList &args);
int runConvert(const QStringList &args);
int runDownload(const QStringList &args);
int runUpload(const QStringList &args);
int runCompare(const QStringList &args);
int runDoctor(const QStringList &args);

const std::vector<CliCommand> &cliCommands()
{
    static const std::vector<CliCommand> commands = {
        {QStringLiteral("info"), QStringLiteral("info IMAGE [--device 46xx|4610]"), runInfo},
        {QStringLiteral("convert"), QStringLiteral("convert IMAGE OUTPUT [--device 46xx|4610]"),
         runConvert},
        {QStringLiteral("download"),
         QStringLiteral("download IMAGE [--device 46xx|4610] [--erase os|all] "
                        "[--interface rs232|can1|can2]\n"
                        "                    [--port COMn|PATH] [--baud RATE] "
                        "[--can-bus PLUGIN:IFACE] [--can-bitrate 125|250|500]\n"
                        "                    [--h86-dir DIR] [--yes]"),
         runDownload},
        {QStringLiteral("upload"),
         QStringLiteral("upload CHOICE OUTPUT [--device 46xx|4610] [--interface rs232|can1|can2]\n"
                        "                    [--port COMn|PATH] [--baud RATE] "
                        "[--can-bus PLUGIN:IFACE] [--can-bitrate 125|250|500]\n"
                        "                    [--h86-dir DIR] [--yes]\n"
                        "                    CHOICE: flash, os, parameters, plc, plc-code, "
                        "plc-data, retain"),
         runUpload},
        {QStringLiteral("compare"),
         QStringLiteral("compare IMAGE [--device 46xx|4610] [--interface rs232|can1|can2]\n"
                        "                    [--port COMn|PATH] [--baud RATE] "
                        "[--can-bus PLUGIN:IFACE] [--can-bitrate 125|250|500]\n"
                        "                    [--h86-dir DIR] [--yes]"),
         runCompare},
        {QStringLiteral("doctor"),
         QStringLiteral("doctor [--port COMn|PATH] [--interface rs232|can1|can2] "
                        "[--can-bus PLUGIN:IFACE]\n"
                        "                    [--can-bitrate 125|250|500] [--device 46xx|4610] "
                        "[--h86-dir DIR] [--json]"),
         runDoctor},
    };
    return commands;
}
