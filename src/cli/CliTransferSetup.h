#pragma once

#include "base/BKGlobal.h"
#include "base/RegistryUnit.h"
#include "transfer/TransferSetup.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

class CliOptions;
class TKTSerial;
struct ImageState;

// What the transfer commands (download, upload, compare) share: the device and transfer options
// on top of the settings file (read, never written), the image loading, and the serial port.
namespace CliTransferSetup {

// Value options of every transfer command.
QStringList valueOptions();
// Flag options of every transfer command.
QStringList flagOptions();

// A unit ID (--unit, a line of the station's input): what a label or a scanner gives, printable
// and not padded; unitIdRule() says so for a message.
constexpr int MaxUnitIdLength = 64;
[[nodiscard]] bool unitIdValid(const QString &id);
QString unitIdRule();

// "46xx" -> 1, "4610" -> 2.
[[nodiscard]] bool parseDevice(const QString &text, DeviceKind *deviceType);

// Loads IMAGE as the window's Open does. An H86 image needs --device; a B86 image brings its
// own type, and a --device that contradicts it is an error. False with the message on stderr.
[[nodiscard]] bool loadImage(const QString &path, const CliOptions &options, ImageState *image,
                             DeviceKind *deviceType);

// One port of a run over several: how the user named it and the COM port it runs on.
struct PortChoice
{
    QString label; // "COM2" or the path as given
    int portIndex = 0;
    QString path; // the serial device
    QString canBus; // "plugin:interface"
    QString unitId; // --unit for this port
};

struct Setup
{
    TSettings settings;
    RegistryUnit::TSerialSelection serial;
    bool assumeYes = false;
    // --boot-lines: replaces the port's setting for this run (an empty SEQ turns it off).
    bool bootLinesGiven = false;
    QString bootLines;
    // With --port given more than once: the ports in the order given (otherwise empty, and
    // `serial` names the one port).
    QList<PortChoice> ports;
    // The one port's serial device and CAN bus ("plugin:interface") for this run.
    QString portPath;
    QString canBus;
    // --unit for the one port.
    QString unitId;
};

// The most ports one run takes: each needs a COM port of its own.
constexpr int MaxPorts = RegistryUnit::PortCount;

// Resolves the --port values of a run over several ports: COMn keeps its port; a path gets a COM
// port of its own for this run, the selected one first, then the lowest free ones. Refuses a
// bad name, the same device twice and more ports than there are COM ports.
[[nodiscard]] bool resolvePorts(const QStringList &ports, int selectedIndex,
                                QList<PortChoice> *choices, QString *error);

// Reads the settings and applies --interface, --port, --baud, --can-bus, --can-bitrate,
// --h86-dir, --boot-lines and --unit for this run only. --can-bus is given once for every port,
// or once per --port in the same order; --unit once per --port. False with a message in `error`.
[[nodiscard]] bool prepare(const CliOptions &options, DeviceKind deviceType, Setup *setup,
                           QString *error);

// The start of the commands that take an IMAGE: loadImage, then prepare. True when both
// succeeded; otherwise the message is on stderr (the exit status is ExitUsage).
[[nodiscard]] bool loadAndPrepare(const QString &path, const CliOptions &options, ImageState *image,
                                  DeviceKind *deviceType, Setup *setup);

// What a transfer on COM<portIndex + 1> takes from the settings and the options of this run:
// the port's path and boot lines (a --boot-lines sequence in place of the port's setting), the
// CAN bus and the target programs' folder.
TransferSetup transferSetup(const Setup &setup, int portIndex, const QString &portPath,
                            const QString &canBus);

// A serial component configured as the window's `Serial` is, on the selected port and its path.
std::unique_ptr<TKTSerial> makeSerial(const Setup &setup);

} // namespace CliTransferSetup
