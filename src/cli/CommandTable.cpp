#include "cli/CliCommand.h"
#include "transfer/TargetFiles.h"

#include <algorithm>

// Each command lives in its own file; add new ones to this table, with their help text here.
int runInfo(const QStringList &args);
int runConvert(const QStringList &args);
int runDownload(const QStringList &args);
int runUpload(const QStringList &args);
int runCompare(const QStringList &args);
int runHistory(const QStringList &args);
int runStation(const QStringList &args);

namespace {

const char InfoUsage[] = R"(Usage: brasvik-cli info IMAGE [--device 46xx|4610]

Loads IMAGE as the window's Open command does and prints what it holds: the
content, the device type, the end of the data, the sectors and the sizes.

Arguments:
  IMAGE                  the image file: H86 (.h86, .hex, .ihx) or .b86

Options:
  --device 46xx|4610     the device type; needed for an H86 image, checked
                         against the type a B86 image brings

Exit status: 0 success, 1 bad usage or an image that cannot be loaded.
)";

const char ConvertUsage[] = R"(Usage: brasvik-cli convert IMAGE OUTPUT [--device 46xx|4610]

Loads IMAGE and saves it as the window's Save command does: OUTPUT ending in
.b86 gets the image as B86 file, OUTPUT ending in .r86 a remote-update file
(from an operating-system image only).

Arguments:
  IMAGE                  the image file: H86 (.h86, .hex, .ihx) or .b86
  OUTPUT                 the file to write, .b86 or .r86

Options:
  --device 46xx|4610     the device type; needed for an H86 image, checked
                         against the type a B86 image brings

Exit status: 0 success, 1 bad usage, an image that cannot be loaded or an
OUTPUT that cannot be written.
)";

const char DownloadUsage[]
    = R"(Usage: brasvik-cli download IMAGE [--device 46xx|4610] [--erase os|all]
                            [--resume | --from-sector N] [--verify]
                            [--skip-unchanged] [--retries N]
                            [CONNECTION OPTIONS]

Programs IMAGE into the device's flash or NV RAM through its bootstrap loader,
as the window's Download command does. Reset the device into its bootstrap
mode when asked. The log and the report go to stdout, the rest to stderr.

Arguments:
  IMAGE                  the image file: H86 (.h86, .hex, .ihx) or .b86

Options:
  --device 46xx|4610     the device type; needed for an H86 image, checked
                         against the type a B86 image brings
  --erase os|all         for an H86 image: erase only the sectors the image
                         covers (os, the default) or the whole FLASH (all;
                         needs DownloadOpt1 in the settings). The VMC 4610 is
                         always erased completely; a B86 image brings its own
                         sectors.
  --resume               pick up a flash download that failed: the last
                         transfer on the port must be a download of the same
                         image to the same device type (and unit, with
                         --unit) that stopped after programming began. The
                         unit is proven first: the image's first sector and
                         the one below the resume point are read back and
                         compared (one more entry into the bootstrap loader
                         each); only then does the device erase and program
                         from the sector where it stopped
  --from-sector N        erase and program only from flash sector N on (a
                         sector the image covers); the sectors below stay as
                         they are. Not for retain values or the VMC 4610.
  --verify               after a successful download, read the programmed
                         sectors back and compare them; a difference fails
                         the download (status 2), with the differing ranges
                         in the report and the record
  --skip-unchanged       read the image's sectors first and program only from
                         the first differing sector to the last, or nothing
                         when the device already holds the image
  --retries N            try a failed download (time-out, line error, compare
                         error) up to N more times (at most 10), each resuming
                         as --resume does; with boot lines the device is
                         re-entered by itself, otherwise the boot prompt comes
                         again
)";

const char StationUsage[]
    = R"(Usage: brasvik-cli station IMAGE --port P [--port P2 ...] [--device 46xx|4610]
                           [--retries N] [--json] [CONNECTION OPTIONS]

A loop for a programming fixture. For each round it reads one unit ID per port
from standard input, one line each in the order of the ports (a scanner types
the ID and Enter; an empty line means no ID, "-" no unit in that port this
round), programs IMAGE into all the units at once with --verify and the given
--retries, and prints one PASS or FAIL line per port with the unit and the
time. It then waits for the next units. End of input or Ctrl+C ends the loop
with a summary: units passed and failed, and the mean time per unit. Every
transfer goes into the service record with its unit.

Arguments:
  IMAGE                  the image file: H86 (.h86, .hex, .ihx) or .b86

Options:
  --port COMn|PATH       a port of the fixture; give it once per port
  --device 46xx|4610     the device type; needed for an H86 image
  --erase os|all         as for download
  --retries N            as for download
  --json                 one JSON object per unit result on stdout instead of
                         the PASS and FAIL lines and the summary

Exit status: 0 every unit passed, 2 a unit failed, 1 bad usage.
)";

const char UploadUsage[]
    = R"(Usage: brasvik-cli upload CHOICE OUTPUT --device 46xx|4610 [CONNECTION OPTIONS]

Reads a region of the device and writes it to OUTPUT as a B86 file, as the
window's Upload command followed by Save does. Reset the device into its
bootstrap mode when asked. The log and the report go to stdout, the rest to
stderr.

Arguments:
  CHOICE                 what is read:
                           flash       the FLASH memory completely, without
                                       the NV RAM (the only choice for the
                                       VMC 4610)
                           os          operating system (UploadOpt1)
                           parameters  curve and system parameters
                                       (UploadOpt2)
                           plc         CoDeSys PLC project completely
                                       (UploadOpt3)
                           plc-code    CoDeSys PLC program code (UploadOpt4)
                           plc-data    CoDeSys PLC data (UploadOpt5)
                           retain      retain values, NV RAM (UploadOpt6)
                         a choice with a setting in brackets must be enabled
                         in the settings
  OUTPUT                 the B86 file to write

Options:
  --device 46xx|4610     the device type (required)
)";

const char CompareUsage[]
    = R"(Usage: brasvik-cli compare IMAGE [--device 46xx|4610] [CONNECTION OPTIONS]

Reads the region of the device that IMAGE covers and compares it with IMAGE,
as the window's "Upload and compare..." command does. Reset the device into
its bootstrap mode when asked. The log and the result go to stdout, the rest
to stderr.

Arguments:
  IMAGE                  the image file: H86 (.h86, .hex, .ihx) or .b86

Options:
  --device 46xx|4610     the device type; needed for an H86 image, checked
                         against the type a B86 image brings
  --diff[=all]           after the report, list the ranges of differing bytes
                         (start, end, bytes, sector); differing bytes with
                         fewer than 16 equal bytes between them form one range.
                         At most 50 ranges are listed, all with --diff=all
  --diff-dump FILE       write the device's bytes as a B86 file: IMAGE with the
                         compared range as read, for cmp -l or a hex diff
)";

const char HistoryUsage[]
    = R"(Usage: brasvik-cli history [--last N] [--unit ID] [--json] [--record FILE]

Lists the latest transfers of the service record, oldest first: date,
operation, device, port, image, result and time.

Options:
  --last N               how many transfers (default 10)
  --unit ID              only the transfers of this unit
  --json                 one JSON object per transfer instead of the table
  --record FILE          read this service record instead of the default one

Exit status: 0 success, 1 bad usage or a record that cannot be read.
)";

const char DoctorUsage[]
    = R"(Usage: brasvik-cli doctor [--port COMn|PATH] [--interface rs232|can1|can2]
                          [--can-bus PLUGIN:IFACE] [--can-bitrate 125|250|500]
                          [--device 46xx|4610] [--h86-dir DIR] [--json]

Checks what a transfer needs and says, for each problem, what to do: the
settings file, the serial port (path, access and group, other programs holding
it), the CAN bus (plugin, interface state and bit rate) and the target
programs. Each check prints OK, WARN or FAIL.

Options:
  --port COMn|PATH       the COM port or serial device path to check
  --interface rs232|can1|can2
                         the interface whose target programs are checked
  --can-bus PLUGIN:IFACE the CAN bus, for example socketcan:can0
  --can-bitrate 125|250|500
                         the CAN bit rate in kbit/s
  --device 46xx|4610     the device type (both when not given)
@H86DIR@
  --json                 one JSON object per check instead of the text

Exit status: 0 nothing failed, 1 a check failed or bad usage.
)";

// --h86-dir, in the help of the transfer commands and the doctor: the folders it replaces.
QString withH86DirOption(const char *usage)
{
    return QString::fromUtf8(usage).replace(
        QLatin1String("@H86DIR@\n"),
        QStringLiteral("  --h86-dir DIR          the folder of the target programs for this run,\n"
                       "                         instead of searching H86 beside the program,\n"
                       "                         then $XDG_DATA_HOME/Halvero/BrasvikV6/H86\n"
                       "                         (~/.local/share/...), then\n"
                       "                         %1\n")
            .arg(TargetFiles::systemDirectory()));
}

// The options download, upload and compare share.
const char ConnectionOptions[] = R"(
Connection options (each changes the settings for this run only):
  --interface rs232|can1|can2
                         the line the transfer goes on after the start over
                         RS-232; CAN for the 46xx devices only
  --port COMn|PATH       the COM port, COM1 to COM16, or a serial device path
                         for the selected port
  --baud RATE            the serial bit rate: 1200, 2400, 4800, 9600, 19200,
                         28800, 38400, 57600 or 115200
  --can-bus PLUGIN:IFACE the CAN bus, for example socketcan:can0
  --can-bitrate 125|250|500
                         the CAN bit rate in kbit/s
@H86DIR@
  --yes                  answer the boot prompt at once instead of waiting
                         for Enter
  --boot-lines SEQ       put the device into its bootstrap mode through the
                         adapter's modem lines instead of the boot prompt:
                         comma-separated steps dtr=0|1, rts=0|1 and wait=MS,
                         e.g. dtr=1,rts=1,wait=50,dtr=0,wait=100,rts=0;
                         replaces the port's COM<n>BootLines setting (an
                         empty SEQ turns it off for this run)
  --unit ID              the unit's ID (its serial number) for the record;
                         with several ports, once per --port in their order
)";

// Where a transfer command's run is recorded and how it reports.
const char FeedOptions[] = R"(
Record and output options:
  --record FILE          append this run's record to FILE instead of the
                         service record ($XDG_STATE_HOME/Halvero/BrasvikV6/
                         transfers.jsonl, see "brasvik-cli history")
  --no-record            leave this run out of the service record
  --json                 print one JSON object per line on stdout (phase, log,
                         progress, finished with the record) instead of the
                         log and the report; prompts and errors stay on stderr
)";

// Download and compare run on several ports at once.
const char SeveralPorts[] = R"(
Several devices at once:
  --port COMn|PATH       given more than once (up to 16 ports), one transfer
                         runs on each port at the same time; every line of
                         the log starts with its port ("[COM2] ..."), the
                         boot prompt is asked once for all devices, and a
                         table (port, result, bytes, time, report) ends the
                         output. One CAN bus carries one transfer at a time.
  --can-bus PLUGIN:IFACE given once per --port, in the same order: each
                         port's transfer uses its own CAN bus; given once, it
                         is the bus of every port
  The exit status is 0 when every device succeeded, otherwise the highest of
  the devices' statuses below (4 outweighs 3, 3 outweighs 2).
)";

QString severalPortsUsage(const char *usage)
{
    return QString::fromUtf8(usage) + QString::fromUtf8(SeveralPorts);
}

QString transferUsage(const QString &usage)
{
    return usage + withH86DirOption(ConnectionOptions) + QString::fromUtf8(FeedOptions) + u'\n'
        + cliExitStatusHelp();
}

QString transferUsage(const char *usage)
{
    return transferUsage(QString::fromUtf8(usage));
}

} // namespace
int runDoctor(const QStringList &args);

const std::vector<CliCommand> &cliCommands()
{
    static const std::vector<CliCommand> commands = {
        {QStringLiteral("info"), QStringLiteral("show what an image file holds"),
         QString::fromUtf8(InfoUsage), runInfo},
        {QStringLiteral("convert"), QStringLiteral("save an image as a B86 or R86 file"),
         QString::fromUtf8(ConvertUsage), runConvert},
        {QStringLiteral("download"), QStringLiteral("program an image into the device"),
         transferUsage(severalPortsUsage(DownloadUsage)), runDownload},
        {QStringLiteral("upload"), QStringLiteral("read a region of the device into a B86 file"),
         transferUsage(UploadUsage), runUpload},
        {QStringLiteral("compare"), QStringLiteral("read the device and compare it with an image"),
         transferUsage(severalPortsUsage(CompareUsage)), runCompare},
        {QStringLiteral("station"), QStringLiteral("program unit after unit in a fixture"),
         transferUsage(StationUsage), runStation},
        {QStringLiteral("history"),
         QStringLiteral("list the latest transfers of the service record"),
         QString::fromUtf8(HistoryUsage), runHistory},
        {QStringLiteral("doctor"),
         QStringLiteral("check the settings, the port, the CAN bus and the target programs"),
         withH86DirOption(DoctorUsage), runDoctor},
    };
    return commands;
}

const CliCommand *findCliCommand(const QString &name)
{
    for (const CliCommand &command : cliCommands()) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}

QString cliExitStatusHelp()
{
    return QStringLiteral(
        "Exit status:\n"
        "  0  success; doctor: nothing failed\n"
        "  1  bad usage or input: an unknown option, a bad argument, an image that\n"
        "     cannot be loaded or written, a --resume with nothing to resume;\n"
        "     nothing was sent to the device. doctor: a check failed\n"
        "  2  the transfer ended without success: user break (Ctrl+C, SIGTERM or\n"
        "     SIGHUP), time-out, line or dongle error, or an error the device\n"
        "     reported\n"
        "  3  refused before the transfer: a target file missing or unreadable, the\n"
        "     port or the dongle not opened, the boot prompt declined, or a wrong\n"
        "     answer while the device was being started\n"
        "  4  compare found a difference\n");
}

QString cliToolHelp()
{
    QString text = QStringLiteral(
        "Usage: brasvik-cli COMMAND [ARGUMENTS] [OPTIONS]\n"
        "       brasvik-cli COMMAND --help\n"
        "       brasvik-cli --help | --version\n"
        "\n"
        "Shows and converts firmware images of the VMC devices, and programs, reads\n"
        "and compares their flash through the bootstrap loader, over RS-232 and CAN.\n"
        "\n"
        "Commands:\n");
    qsizetype width = 0;
    for (const CliCommand &command : cliCommands())
        width = std::max(width, command.name.size());
    for (const CliCommand &command : cliCommands())
        text += QStringLiteral("  ") + command.name.leftJustified(width + 2) + command.summary
            + u'\n';
    text += QStringLiteral(
        "\n"
        "\"brasvik-cli COMMAND --help\" shows a command's arguments and options.\n"
        "The settings are read from Halvero/BrasvikV6.ini under $XDG_CONFIG_HOME\n"
        "(~/.config) and never written; options change them for one run.\n"
        "\n");
    return text + cliExitStatusHelp();
}
