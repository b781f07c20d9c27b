#pragma once

#include "base/DiagnosisCheck.h"
#include "comm/ProcessTable.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// What stops a serial port from opening, found without opening it: the path and its kind,
// a stable /dev/serial/by-id name for a USB adapter, this user's access and the group that
// would give it, other processes holding the port, and services that grab USB serial ports.
namespace PortDiagnosis {

struct User
{
    uint uid = 0;
    uint gid = 0; // primary group
    QList<uint> groups; // the groups this session runs with
    QString name;

    static User current();
};

struct Group
{
    uint gid = 0;
    QString name;
    QStringList members; // as the group database lists them (not the primary members)
};

// Whether the device at `path` is a terminal (tcgetattr answers on it), so a serial port at
// all; true when it cannot be opened to ask, which the access check then reports.
bool isTerminalDevice(const QString &path);

// Everything the checks look at besides the port itself; tests replace any part.
struct Environment
{
    User user;
    ProcessTable processes;
    qint64 ownPid = -1;
    QString byIdDir = QStringLiteral("/dev/serial/by-id");
    QString devDir = QStringLiteral("/dev");
    std::function<bool(const QString &path)> canReadWrite;
    std::function<std::optional<Group>(uint gid)> groupById;
    std::function<bool(const QString &path)> isTerminal = isTerminalDevice;

    // This process's user, the processes under procRoot and the system's group database.
    static Environment current(const QString &procRoot = QStringLiteral("/proc"));
};

// Read-and-write access to `path` decided from its owner, group and mode bits alone, for
// `user` (root may do anything). No ACLs: the real check asks the kernel.
bool accessByMode(const User &user, const QString &path);

// True for a ttyUSB/ttyACM device or a by-id/by-path name: the ports that come and go with
// a USB adapter.
bool isUsbSerial(const QString &path);

// The checks for one port; `label` names it in the texts ("COM1").
DiagnosisChecks run(const QString &label, const QString &path, const Environment &env);

// What to do about the port at `path`, in one sentence for an error message; empty when the
// checks find nothing. `label` ("COM2") names the setting to change, when known.
QString hintFor(const QString &path, const QString &label = QString());

// A hint as the window gives it: the window reaches another port through its Init COM dialog,
// not through the command line's --port.
QString windowHint(const QString &hint);

} // namespace PortDiagnosis
