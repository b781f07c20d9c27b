#pragma once

#include "base/DeviceKind.h"
#include "base/DiagnosisCheck.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// What stops the target programs from reaching the device: the folders searched (in order),
// and for the device types and the interface in question every loader and program a download
// or upload may need: present, readable, readable as Intel HEX. The stand-ins of the simulated
// device are flagged, as they must never reach a real device.
namespace TargetDiagnosis {

struct Selection
{
    QList<DeviceKind> deviceTypes;
    // False when the user named no device type: a type with no files at all then only warns.
    bool deviceGiven = false;
    int comInterface = 0; // for the 46xx devices
    int canBaudrate = 7;
};

struct Environment
{
    QStringList searchPath;
    bool overridden = false; // the search path is one folder named with --h86-dir
    std::function<bool(const QString &path)> canRead;

    static Environment current();
};

// The content of a target file read as Intel HEX: every line a record with a correct byte
// count and checksum, at least one data record.
struct H86Content
{
    QString problem; // empty when readable
    bool standIn = false; // the data starts with the simulated device's stand-in header
};
H86Content readH86(const QByteArray &content);

DiagnosisChecks run(const Selection &selection, const Environment &env);

// The folders searched, numbered in order, each with what it held: "1) /a (missing),
// 2) /b (used), 3) /c (no target programs)", where `chosen` is the folder taken.
QString folderList(const QStringList &searchPath, const QString &chosen);

// Who gives the hint: the command line may point to another folder with --h86-dir, the window
// has only the folders it searches.
enum class FrontEnd { CommandLine, Window };

// What to do when a target file is missing from `folder`, in one sentence for an error
// message; hintForFile looks at the file itself as well.
QString hintForFolder(const QString &folder, FrontEnd frontEnd = FrontEnd::CommandLine);
QString hintForFile(const QString &filePath, const QStringList &searchPath,
                    FrontEnd frontEnd = FrontEnd::CommandLine);

} // namespace TargetDiagnosis
