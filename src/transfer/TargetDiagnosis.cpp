#include "transfer/TargetDiagnosis.h"

#include "transfer/LoaderFile.h"
#include "transfer/TargetFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace TargetDiagnosis {

namespace {

// The stand-in header: magic and format version.
const QByteArray StandInMagic = QByteArrayLiteral("BKSI\x01");

QString deviceLabel(DeviceKind deviceType, int comInterface, int canBaudrate)
{
    if (deviceType != DeviceKind::Device46xx)
        return QStringLiteral("the VMC 4610 board");
    if (!TargetFiles::usesCan(deviceType, comInterface))
        return QStringLiteral("the 46xx devices over RS-232");
    const int kbit = canBaudrate == 6 ? 250 : canBaudrate == 7 ? 500 : 125;
    return QStringLiteral("the 46xx devices over CAN%1 at %2 kbit/s").arg(comInterface).arg(kbit);
}

QStringList neededFiles(DeviceKind deviceType, int comInterface, int canBaudrate)
{
    QStringList names;
    for (auto direction : {TargetFiles::Direction::Download, TargetFiles::Direction::Upload}) {
        for (bool retain : {false, true}) {
            const TargetFiles::Names n
                = TargetFiles::choose(direction, retain, deviceType, comInterface, canBaudrate);
            for (const QString &name : {n.loader, n.program}) {
                if (!names.contains(name))
                    names.append(name);
            }
        }
    }
    return names;
}

bool isHex(QByteArrayView digits)
{
    for (char c : digits) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// Folders of the search path other than `chosen` that hold `name`.
QStringList elsewhere(const QStringList &searchPath, const QString &chosen, const QString &name)
{
    QStringList found;
    for (const QString &folder : searchPath) {
        if (folder != chosen && QFileInfo(TargetFiles::resolve(folder, name)).isFile())
            found.append(folder);
    }
    return found;
}

QString copyHint(const QString &folder, const Environment &env,
                 FrontEnd frontEnd = FrontEnd::CommandLine)
{
    if (env.overridden)
        return QStringLiteral("Copy the device maker's target programs into %1.").arg(folder);
    if (frontEnd == FrontEnd::Window)
        return QStringLiteral("Copy the device maker's target programs into %1 (your own) or %2 "
                              "(all users).")
            .arg(TargetFiles::userDirectory(), TargetFiles::systemDirectory());
    return QStringLiteral("Copy the device maker's target programs into %1 (your own) or %2 "
                          "(all users), or name their folder with --h86-dir.")
        .arg(TargetFiles::userDirectory(), TargetFiles::systemDirectory());
}

// `mayLackAll`: a device type without any of its files only warns (the user named none, and
// another type has files).
DiagnosisChecks checkDevice(DeviceKind deviceType, const Selection &selection,
                            const QString &chosen, const Environment &env, bool mayLackAll)
{
    DiagnosisChecks out;
    const int iface = deviceType == DeviceKind::Device46xx ? selection.comInterface : 0;
    const QString label = deviceLabel(deviceType, iface, selection.canBaudrate);
    const QStringList names = neededFiles(deviceType, iface, selection.canBaudrate);
    QStringList missing;
    QStringList standIns;
    int good = 0;
    for (const QString &name : names) {
        const QString path = TargetFiles::resolve(chosen, name);
        if (!QFileInfo(path).isFile()) {
            missing.append(name);
            continue;
        }
        QFile file(path);
        if (!env.canRead(path) || !file.open(QIODevice::ReadOnly)) {
            out.append(DiagnosisCheck::fail(
                QStringLiteral("target.file"),
                QStringLiteral("Target program %1 cannot be read").arg(path),
                QStringLiteral("Let every user read it: sudo chmod a+r %1").arg(path)));
            continue;
        }
        const H86Content content = readH86(file.readAll());
        if (!content.problem.isEmpty()) {
            out.append(DiagnosisCheck::fail(
                QStringLiteral("target.file"),
                QStringLiteral("Target program %1 is not a readable H86 file: %2")
                    .arg(path, content.problem),
                QStringLiteral("Copy it again from the device maker's delivery; it is damaged or "
                               "not a target program.")));
            continue;
        }
        if (content.standIn)
            standIns.append(name);
        ++good;
    }

    if (!missing.isEmpty()) {
        const bool none = missing.size() == names.size();
        // Each file by name and the folders searched for it, as a transfer that misses one
        // reports it: a count alone leaves the user to guess which files to copy.
        const QString text
            = QStringLiteral("Target programs for %1: %2 of %3 missing in %4: %5 (%6: %7)")
                  .arg(label)
                  .arg(missing.size())
                  .arg(names.size())
                  .arg(chosen, missing.join(QStringLiteral(", ")),
                       env.searchPath.size() == 1 ? QStringLiteral("folder searched")
                                                  : QStringLiteral("folders searched"),
                       folderList(env.searchPath, chosen));
        QString hint = copyHint(chosen, env);
        const QStringList other = elsewhere(env.searchPath, chosen, missing.first());
        if (!other.isEmpty()) {
            hint = QStringLiteral("%1 is in %2, but %3 comes first and both files of a transfer "
                                  "come from one folder: complete %3 or move it away.")
                       .arg(missing.first(), other.first(), chosen);
        }
        if (none && mayLackAll) {
            out.append(DiagnosisCheck::warn(QStringLiteral("target.files"),
                                            text
                                                + QStringLiteral(" (fine if you have none of "
                                                                 "these devices)"),
                                            hint));
        } else {
            out.append(DiagnosisCheck::fail(QStringLiteral("target.files"), text, hint));
        }
    }
    if (!standIns.isEmpty()) {
        out.append(DiagnosisCheck::warn(
            QStringLiteral("target.stand-in"),
            QStringLiteral("Target programs for %1: %2 of them are stand-ins of the simulated "
                           "device (%3)")
                .arg(label)
                .arg(standIns.size())
                .arg(standIns.join(QStringLiteral(", "))),
            QStringLiteral("They work with brasvik-sim only and must never reach a real device: "
                           "flash one with the device maker's files only (in %1 or %2, or "
                           "named with --h86-dir).")
                .arg(TargetFiles::userDirectory(), TargetFiles::systemDirectory())));
    }
    if (missing.isEmpty() && good == names.size() && standIns.isEmpty()) {
        out.append(DiagnosisCheck::ok(
            QStringLiteral("target.files"),
            QStringLiteral("Target programs for %1: all %2 present and readable as H86")
                .arg(label)
                .arg(names.size())));
    }
    return out;
}

} // namespace

Environment Environment::current()
{
    Environment env;
    env.searchPath = TargetFiles::searchPath();
    env.overridden = TargetFiles::directoryOverridden();
    env.canRead = [](const QString &path) {
        return ::access(QFile::encodeName(path).constData(), R_OK) == 0;
    };
    return env;
}

H86Content readH86(const QByteArray &content)
{
    H86Content result;
    if (content.isEmpty()) {
        result.problem = QStringLiteral("the file is empty");
        return result;
    }
    QStringList lines;
    bool anyData = false;
    int lineNumber = 0;
    for (QByteArray line : content.split('\n')) {
        ++lineNumber;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        for (char c : line) {
            if (quint8(c) < 0x20 && c != '\t') {
                result.problem = QStringLiteral("line %1 holds control characters: not a text "
                                                "file")
                                     .arg(lineNumber);
                return result;
            }
        }
        const QByteArray record = line.trimmed();
        if (!record.startsWith(':')) {
            result.problem = QStringLiteral("line %1 does not start with \":\"").arg(lineNumber);
            return result;
        }
        const QByteArray digits = record.sliced(1);
        if (!isHex(digits) || digits.size() % 2 != 0 || digits.size() < 10) {
            result.problem
                = QStringLiteral("line %1 is not a record of hex digit pairs").arg(lineNumber);
            return result;
        }
        const QByteArray bytes = QByteArray::fromHex(digits);
        const int count = quint8(bytes.at(0));
        if (count != bytes.size() - 5) {
            result.problem = QStringLiteral("line %1 announces %2 data bytes but holds %3")
                                 .arg(lineNumber)
                                 .arg(count)
                                 .arg(bytes.size() - 5);
            return result;
        }
        quint8 sum = 0;
        for (char b : bytes)
            sum += quint8(b);
        if (sum != 0) {
            result.problem = QStringLiteral("line %1 has a wrong checksum").arg(lineNumber);
            return result;
        }
        anyData = anyData || bytes.at(3) == 0;
        lines.append(QString::fromLatin1(record));
    }
    if (!anyData) {
        result.problem = QStringLiteral("there is no data record");
        return result;
    }
    result.standIn = ConvertLoaderFile(lines).startsWith(StandInMagic);
    return result;
}

DiagnosisChecks run(const Selection &selection, const Environment &env)
{
    DiagnosisChecks out;
    const QString chosen = TargetFiles::chooseDirectory(env.searchPath);
    const bool exists = QFileInfo(chosen).isDir();
    const QString text = env.overridden
        ? QStringLiteral("Target programs: the folder %1 (--h86-dir)%2")
              .arg(chosen, exists ? QString() : QStringLiteral(" does not exist"))
        : QStringLiteral("Target programs: folders searched in order: %1")
              .arg(folderList(env.searchPath, chosen));
    if (!exists) {
        out.append(
            DiagnosisCheck::fail(QStringLiteral("target.folders"), text, copyHint(chosen, env)));
        return out;
    }
    out.append(DiagnosisCheck::ok(QStringLiteral("target.folders"), text));
    QList<DeviceKind> withFiles;
    for (DeviceKind type : selection.deviceTypes) {
        const int iface = type == DeviceKind::Device46xx ? selection.comInterface : 0;
        for (const QString &name : neededFiles(type, iface, selection.canBaudrate)) {
            if (QFileInfo(TargetFiles::resolve(chosen, name)).isFile()) {
                withFiles.append(type);
                break;
            }
        }
    }
    const bool mayLackAll = !selection.deviceGiven && !withFiles.isEmpty();
    for (DeviceKind type : selection.deviceTypes)
        out += checkDevice(type, selection, chosen, env, mayLackAll);
    return out;
}

QString folderList(const QStringList &searchPath, const QString &chosen)
{
    QStringList parts;
    int n = 0;
    for (const QString &folder : searchPath) {
        const QFileInfo info(folder);
        const QString state = folder == chosen && info.isDir() ? QStringLiteral("used")
            : info.isDir() ? QStringLiteral("no target programs")
                           : QStringLiteral("missing");
        parts.append(QStringLiteral("%1) %2 (%3)").arg(++n).arg(folder, state));
    }
    return parts.join(QStringLiteral(", "));
}

QString hintForFolder(const QString &folder, FrontEnd frontEnd)
{
    Environment env = Environment::current();
    if (!QFileInfo(folder).isDir()) {
        return QStringLiteral("The folder %1 does not exist. %2")
            .arg(folder, copyHint(folder, env, frontEnd));
    }
    return copyHint(folder, env, frontEnd);
}

QString hintForFile(const QString &filePath, const QStringList &searchPath, FrontEnd frontEnd)
{
    const QFileInfo info(filePath);
    const QString folder = info.absolutePath();
    Environment env = Environment::current();
    env.searchPath = searchPath;
    if (info.isFile()) {
        if (!env.canRead(filePath))
            return QStringLiteral("Let every user read it: sudo chmod a+r %1").arg(filePath);
        QFile file(filePath);
        if (file.open(QIODevice::ReadOnly)) {
            const H86Content content = readH86(file.readAll());
            if (!content.problem.isEmpty()) {
                return QStringLiteral("%1 is not a readable H86 file (%2): copy it again from the "
                                      "device maker's delivery.")
                    .arg(info.fileName(), content.problem);
            }
        }
        return {};
    }
    const QStringList other = elsewhere(env.searchPath, folder, info.fileName());
    if (!other.isEmpty()) {
        return QStringLiteral("%1 is in %2, but %3 comes first and both files of a transfer come "
                              "from one folder: complete %3 or move it away.")
            .arg(info.fileName(), other.first(), folder);
    }
    return hintForFolder(folder, frontEnd);
}

} // namespace TargetDiagnosis
