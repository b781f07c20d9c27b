#include "comm/PortDiagnosis.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace PortDiagnosis {

namespace {

// Where the installed package keeps the example rule that names adapters and sets their group.
const QString UdevExample
    = QStringLiteral("/usr/share/doc/brasvikv6/examples/60-brasvik-serial.rules");

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

QString subject(const QString &label, const QString &path)
{
    return label.isEmpty() ? path : QStringLiteral("%1 %2").arg(label, path);
}

QString portKey(const QString &label)
{
    return label.startsWith(QLatin1String("COM")) ? label : QStringLiteral("COMn");
}

// by-id links that lead to the same device as `path`.
QStringList byIdNames(const QString &byIdDir, const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    QStringList names;
    if (canonical.isEmpty())
        return names;
    const QDir dir(byIdDir);
    const QStringList entries
        = dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &entry : entries) {
        const QString full = dir.filePath(entry);
        if (full != path && QFileInfo(full).canonicalFilePath() == canonical)
            names.append(full);
    }
    return names;
}

// Serial adapters present now: the by-id names, then ttyUSB and ttyACM devices; links that
// lead nowhere are left out.
QStringList presentPorts(const Environment &env)
{
    QStringList ports;
    const auto add = [&ports](const QDir &dir, const QStringList &filters) {
        for (const QString &e : dir.entryList(
                 filters, QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
            if (QFileInfo::exists(dir.filePath(e)))
                ports.append(dir.filePath(e));
        }
    };
    add(QDir(env.byIdDir), {});
    add(QDir(env.devDir), {QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*")});
    return ports;
}

QString processList(const QList<ProcessTable::Process> &processes)
{
    QStringList parts;
    for (const ProcessTable::Process &p : processes)
        parts.append(QStringLiteral("%1 (pid %2)")
                         .arg(p.name.isEmpty() ? QStringLiteral("?") : p.name)
                         .arg(p.pid));
    return parts.join(QStringLiteral(", "));
}

DiagnosisCheck pathCheck(const QString &label, const QString &path, const Environment &env,
                         bool *present, bool *terminal)
{
    const QString what = subject(label, path);
    const QString id = QStringLiteral("port.path");
    struct stat lst;
    struct stat st;
    const bool linkThere = ::lstat(encoded(path).constData(), &lst) == 0;
    *present = ::stat(encoded(path).constData(), &st) == 0;
    if (!*present) {
        const QStringList ports = presentPorts(env);
        const QString choose = ports.isEmpty()
            ? QStringLiteral("Run \"ls -l /dev/serial/by-id\" before and after plugging in the "
                             "serial adapter: the new name is its port; set %1 to that path in the "
                             "group [Ports] of the settings or give it with --port. (The kernel's "
                             "log names it too: as root, or with sudo: dmesg | tail.)")
                  .arg(portKey(label))
            : QStringLiteral("Serial ports present: %1. Set %2 to one of them in the group "
                             "[Ports] of the settings, or give it with --port.")
                  .arg(ports.join(QStringLiteral(", ")), portKey(label));
        if (linkThere && S_ISLNK(lst.st_mode)) {
            return DiagnosisCheck::fail(
                id,
                QStringLiteral("%1 is a link to %2, which does not exist: the adapter is "
                               "unplugged or the simulated device is not running")
                    .arg(what, QFile::symLinkTarget(path)),
                choose);
        }
        return DiagnosisCheck::fail(id, QStringLiteral("%1 does not exist").arg(what), choose);
    }
    *terminal = S_ISCHR(st.st_mode) && (!env.isTerminal || env.isTerminal(path));
    if (!*terminal) {
        const QString kind = S_ISCHR(st.st_mode)
            ? QStringLiteral("a character device but no terminal")
            : S_ISDIR(st.st_mode) ? QStringLiteral("a folder")
            : S_ISREG(st.st_mode) ? QStringLiteral("a plain file")
                                  : QStringLiteral("no device");
        return DiagnosisCheck::fail(
            id, QStringLiteral("%1 is %2, not a serial device").arg(what, kind),
            QStringLiteral("Set %1 to the device path of the serial port (e.g. /dev/ttyUSB0) in "
                           "the group [Ports] of the settings, or give it with --port.")
                .arg(portKey(label)));
    }
    return DiagnosisCheck::ok(id, QStringLiteral("%1 is a character device").arg(what));
}

DiagnosisCheck accessCheck(const QString &label, const QString &path, const Environment &env)
{
    const QString what = subject(label, path);
    const QString id = QStringLiteral("port.access");
    const User &user = env.user;
    if (env.canReadWrite(path)) {
        return DiagnosisCheck::ok(
            id, QStringLiteral("%1: %2 may read and write it").arg(what, user.name));
    }
    struct stat st;
    if (::stat(encoded(path).constData(), &st) != 0) {
        return DiagnosisCheck::fail(id, QStringLiteral("%1 cannot be examined").arg(what),
                                    QStringLiteral("Check the path."));
    }
    const std::optional<Group> group = env.groupById ? env.groupById(st.st_gid) : std::nullopt;
    const QString groupName = group ? group->name : QString::number(st.st_gid);
    const bool groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (!groupMayUse || st.st_gid == 0) {
        const QString why = st.st_gid == 0
            ? QStringLiteral("only root may open it")
            : QStringLiteral("its group %1 has no read and write access either").arg(groupName);
        return DiagnosisCheck::fail(
            id, QStringLiteral("%1: permission denied for %2: %3").arg(what, user.name, why),
            QStringLiteral("Let a udev rule give the port to the group dialout with "
                           "MODE=\"0660\" (example: %1).")
                .arg(UdevExample));
    }
    const bool inSession = user.gid == st.st_gid || user.groups.contains(st.st_gid);
    if (inSession) {
        return DiagnosisCheck::fail(
            id,
            QStringLiteral("%1: permission denied for %2 although the group %3 may use it")
                .arg(what, user.name, groupName),
            QStringLiteral("An access list or a read-only mount refuses it: \"getfacl %1\" shows "
                           "the access list.")
                .arg(path));
    }
    if (group && group->members.contains(user.name)) {
        return DiagnosisCheck::fail(
            id,
            QStringLiteral("%1: permission denied: %2 was added to the group %3 after this "
                           "session started")
                .arg(what, user.name, groupName),
            QStringLiteral("Log out and back in (or start a shell with \"newgrp %1\") so that the "
                           "membership counts.")
                .arg(groupName));
    }
    return DiagnosisCheck::fail(
        id,
        QStringLiteral("%1: permission denied: %2 is not in the group %3 that may use it")
            .arg(what, user.name, groupName),
        QStringLiteral("Add yourself to the group (as root, or with sudo): usermod -aG %1 %2, "
                       "then log out and back in.")
            .arg(groupName, user.name));
}

DiagnosisCheck holdersCheck(const QString &label, const QString &path, const Environment &env)
{
    const QString what = subject(label, path);
    const QString id = QStringLiteral("port.holders");
    const QList<ProcessTable::Process> holders = env.processes.holding(path, env.ownPid);
    static const QStringList shells {QStringLiteral("sh"),   QStringLiteral("bash"),
                                     QStringLiteral("dash"), QStringLiteral("zsh"),
                                     QStringLiteral("ksh"),  QStringLiteral("fish"),
                                     QStringLiteral("csh"),  QStringLiteral("tcsh")};
    const auto shell = std::find_if(holders.cbegin(), holders.cend(),
                                    [](const auto &p) { return shells.contains(p.name); });
    if (shell != holders.cend()) {
        // Someone's terminal, not a free serial port: ending the shell is never the answer.
        return DiagnosisCheck::fail(
            id, QStringLiteral("%1 is held open by %2").arg(what, processList(holders)),
            QStringLiteral("It is the terminal of the shell %1 (pid %2), not a free serial port: "
                           "give the port the device is connected to.")
                .arg(shell->name)
                .arg(shell->pid));
    }
    if (!holders.isEmpty()) {
        const ProcessTable::Process &first = holders.first();
        return DiagnosisCheck::fail(
            id, QStringLiteral("%1 is held open by %2").arg(what, processList(holders)),
            QStringLiteral("Close %1 first (or end it: kill %2); two programs on one port garble "
                           "each other's bytes.")
                .arg(first.name)
                .arg(first.pid));
    }
    const int unseen = env.processes.unreadableCount();
    if (unseen > 0) {
        return DiagnosisCheck::ok(
            id,
            QStringLiteral("%1: none of your processes holds it open (%2 processes of other "
                           "users cannot be looked into without root)")
                .arg(what)
                .arg(unseen));
    }
    return DiagnosisCheck::ok(id, QStringLiteral("%1: no other process holds it open").arg(what));
}

DiagnosisChecks serviceChecks(const QString &label, const QString &path, const Environment &env)
{
    DiagnosisChecks out;
    const QString id = QStringLiteral("port.services");
    const QList<ProcessTable::Process> modemManager
        = env.processes.named(QStringLiteral("ModemManager"));
    const QList<ProcessTable::Process> brltty = env.processes.named(QStringLiteral("brltty"));
    if (!modemManager.isEmpty()) {
        out.append(DiagnosisCheck::warn(
            id,
            QStringLiteral("ModemManager is running (pid %1) and probes new USB serial ports "
                           "with modem commands")
                .arg(modemManager.first().pid),
            QStringLiteral("Stop it while flashing (as root, or with sudo: systemctl stop "
                           "ModemManager), or mark "
                           "the adapter with ENV{ID_MM_DEVICE_IGNORE}=\"1\" in a udev rule "
                           "(example: %1).")
                .arg(UdevExample)));
    }
    if (!brltty.isEmpty()) {
        out.append(DiagnosisCheck::warn(
            id,
            QStringLiteral("brltty is running (pid %1) and claims USB serial adapters it takes "
                           "for braille displays")
                .arg(brltty.first().pid),
            QStringLiteral("Without a braille display (as root, or with sudo): systemctl mask "
                           "brltty-udev.service brltty.service (or remove the package brltty), "
                           "then plug the adapter in again.")));
    }
    if (out.isEmpty()) {
        out.append(
            DiagnosisCheck::ok(id,
                               QStringLiteral("%1: neither ModemManager nor brltty is running")
                                   .arg(subject(label, path))));
    }
    return out;
}

} // namespace

User User::current()
{
    User u;
    u.uid = ::getuid();
    u.gid = ::getgid();
    const int n = ::getgroups(0, nullptr);
    if (n > 0) {
        std::vector<gid_t> list(size_t(n), 0);
        const int got = ::getgroups(n, list.data());
        for (int i = 0; i < got; ++i)
            u.groups.append(list[size_t(i)]);
    }
    if (const passwd *pw = ::getpwuid(u.uid))
        u.name = QString::fromLocal8Bit(pw->pw_name);
    if (u.name.isEmpty())
        u.name = QString::number(u.uid);
    return u;
}

Environment Environment::current(const QString &procRoot)
{
    Environment env;
    env.user = User::current();
    env.processes = ProcessTable::scan(procRoot);
    env.ownPid = ::getpid();
    env.canReadWrite = [](const QString &path) {
        return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
    };
    env.groupById = [](uint gid) -> std::optional<Group> {
        const group *g = ::getgrgid(gid_t(gid));
        if (!g)
            return std::nullopt;
        Group out;
        out.gid = gid;
        out.name = QString::fromLocal8Bit(g->gr_name);
        for (char **m = g->gr_mem; m && *m; ++m)
            out.members.append(QString::fromLocal8Bit(*m));
        return out;
    };
    return env;
}

bool isTerminalDevice(const QString &path)
{
    const int fd
        = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return true;
    termios attributes {};
    const bool terminal = ::tcgetattr(fd, &attributes) == 0;
    ::close(fd);
    return terminal;
}

bool accessByMode(const User &user, const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    if (user.uid == 0)
        return true;
    mode_t need = 0;
    if (st.st_uid == user.uid)
        need = S_IRUSR | S_IWUSR;
    else if (st.st_gid == user.gid || user.groups.contains(st.st_gid))
        need = S_IRGRP | S_IWGRP;
    else
        need = S_IROTH | S_IWOTH;
    return (st.st_mode & need) == need;
}

bool isUsbSerial(const QString &path)
{
    static const QRegularExpression usbName(QStringLiteral("^tty(USB|ACM)[0-9]+$"));
    if (path.contains(QLatin1String("/serial/by-id/"))
        || path.contains(QLatin1String("/serial/by-path/")))
        return true;
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return usbName.match(QFileInfo(path).fileName()).hasMatch()
        || (!canonical.isEmpty() && usbName.match(QFileInfo(canonical).fileName()).hasMatch());
}

DiagnosisChecks run(const QString &label, const QString &path, const Environment &env)
{
    DiagnosisChecks out;
    bool present = false;
    bool terminal = false;
    out.append(pathCheck(label, path, env, &present, &terminal));
    if (present) {
        static const QRegularExpression usbName(QStringLiteral("^tty(USB|ACM)[0-9]+$"));
        if (usbName.match(QFileInfo(path).fileName()).hasMatch()) {
            const QStringList stable = byIdNames(env.byIdDir, path);
            if (!stable.isEmpty()) {
                out.append(DiagnosisCheck::warn(
                    QStringLiteral("port.by-id"),
                    QStringLiteral("%1: ttyUSB and ttyACM numbers follow the order adapters are "
                                   "plugged in; this adapter has the stable name %2")
                        .arg(subject(label, path), stable.first()),
                    QStringLiteral("Set %1=%2 in the group [Ports] of the settings.")
                        .arg(portKey(label), stable.first())));
            }
        }
        out.append(accessCheck(label, path, env));
        // Anything that is no terminal (/dev/null) is held by half the system, to no harm.
        if (terminal)
            out.append(holdersCheck(label, path, env));
    }
    if (isUsbSerial(path))
        out.append(serviceChecks(label, path, env));
    return out;
}

QString windowHint(const QString &hint)
{
    QString text = hint;
    return text.replace(QLatin1String("give it with --port"),
                        QLatin1String("choose another COM port in the Init COM dialog"));
}

QString hintFor(const QString &path, const QString &label)
{
    return Diagnosis::firstHint(run(label, path, Environment::current()));
}

} // namespace PortDiagnosis
