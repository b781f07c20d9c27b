#include "transfer/TargetFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

QString &directoryOverride()
{
    static QString dir;
    return dir;
}

QString canSuffix(int comInterface, int canBaudrate)
{
    const char *rate = canBaudrate == 6 ? "250K" : canBaudrate == 7 ? "500K" : "125K";
    return QStringLiteral("CAN%1_%2").arg(comInterface).arg(QLatin1String(rate));
}

} // namespace

namespace TargetFiles {

bool usesCan(DeviceKind deviceType, int comInterface)
{
    return deviceType == DeviceKind::Device46xx && (comInterface == 1 || comInterface == 2);
}

Names choose(Direction direction, bool retainValues, DeviceKind deviceType, int comInterface,
             int canBaudrate)
{
    const QString d = direction == Direction::Download ? QStringLiteral("D") : QStringLiteral("U");
    const QString word
        = direction == Direction::Download ? QStringLiteral("Download") : QStringLiteral("Upload");
    const QString nv = retainValues ? QStringLiteral("NV") : QString();
    const QString ext = QStringLiteral(".H86");
    if (deviceType != DeviceKind::Device46xx)
        return {d + QStringLiteral("Loader") + nv + QStringLiteral("IF") + ext,
                word + nv + QStringLiteral("IF") + ext};
    if (usesCan(deviceType, comInterface))
        return {d + QStringLiteral("Loader") + nv + QStringLiteral("CAN") + ext,
                word + nv + canSuffix(comInterface, canBaudrate) + ext};
    return {d + QStringLiteral("Loader") + nv + ext, word + nv + ext};
}

QStringList searchPath()
{
    if (directoryOverridden())
        return {directoryOverride()};
    return {QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("H86")),
            userDirectory(), systemDirectory()};
}

bool directoryOverridden()
{
    return !directoryOverride().isEmpty();
}

QString userDirectory()
{
    // A relative XDG_DATA_HOME is invalid and ignored, as the base-directory rules say.
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::home().filePath(QStringLiteral(".local/share"));
    return QDir(base).filePath(QStringLiteral("Halvero/BrasvikV6/H86"));
}

QString systemDirectory()
{
    // The data folder of the install prefix the build was configured for.
    return QStringLiteral(BRASVIK_INSTALL_DATADIR "/brasvikv6/H86");
}

QString chooseDirectory(const QStringList &folders)
{
    for (const QString &folder : folders) {
        // Name filters match without regard to case.
        if (!QDir(folder).entryList({QStringLiteral("*.h86")}, QDir::Files).isEmpty())
            return folder;
    }
    for (const QString &folder : folders) {
        if (QFileInfo(folder).isDir())
            return folder;
    }
    return folders.value(0);
}

QString directory()
{
    return chooseDirectory(searchPath());
}

void setDirectory(const QString &dir)
{
    directoryOverride() = dir.isEmpty() ? QString() : QDir(dir).absolutePath();
}

QString resolve(const QString &dir, const QString &name)
{
    const QDir folder(dir);
    const QString exact = folder.filePath(name);
    if (QFileInfo(exact).isFile())
        return exact;
    const QStringList entries = folder.entryList(QDir::Files | QDir::Readable | QDir::Hidden);
    for (const QString &entry : entries) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return folder.filePath(entry);
    }
    return exact;
}

} // namespace TargetFiles
