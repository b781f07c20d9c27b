#pragma once

#include "DeviceMemory.h"
#include "FaultStep.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// Everything brasvik-sim can be told on its command line (sim/README.md lists the options).
struct SimOptions
{
    // The device
    DeviceMemory::Model model = DeviceMemory::Model::Vmc46xx;
    quint8 idByte = 0xC5;
    QString memoryFile; // loaded at start when it exists, saved after every transfer
    int eraseMs = 100; // how long an erase takes

    // Serial side
    QString serialPort; // an existing serial device; empty: create a pseudo-terminal
    QString linkPath; // symlink to the pseudo-terminal's device end
    int baud = 0; // pace both directions at 10 bits per byte of this rate; 0: unpaced
    // DTR/RTS pattern that must come before the boot byte counts (a real serial device only).
    QString bootLines;

    // CAN side
    QString canBus; // virtualcan:can0 or virtualcan:tcp://127.0.0.1:PORT/can0; empty: no CAN
    int canChannel = 0; // 1 or 2: the device's CAN port on the bus; 0: either
    int canBitrate = 0; // bit/s of the bus; 0: any
    bool canPace = false; // pace frames at the bus bit rate
    bool canClient = false; // join a bus server run by someone else

    // Running
    QString traceFile;
    bool oneShot = false;
    int exitAfterSeconds = 0;
    bool verbose = false;
    QString makeH86Dir; // write the stand-in target programs there and exit

    // Faults
    std::optional<FaultStep> silentFrom;
    bool eraseFails = false;
    int refuseBlock = 0;
    int refuseCount = 1;
    int compareErrorBlock = 0;
    int badCheckBlock = 0;
    int shortBlock = 0;
    qint64 hangupAfterRx = -1;
    qint64 hangupAfterTx = -1;
    std::optional<FaultStep> strayAt;
    QByteArray strayBytes = QByteArray(1, char(0xE1));
    int strayDelayMs = 0;
    // After the first complete download, bit 0 of the flash byte at this address flips (a
    // cell that did not keep its charge); -1: none.
    qint64 alterByte = -1;

    // The units that take the device's place on the link, in turn, at each SIGUSR1 (as a
    // fixture's next unit): their memory files, loaded when they exist.
    QStringList units;

    // Parses the arguments (the program name first). On failure returns nullopt and sets
    // the message; --help and --version print and exit.
    static std::optional<SimOptions> parse(const QStringList &arguments, QString *error);

    // One line naming the injected faults ("none" when there are none).
    QString faultSummary() const;
};
