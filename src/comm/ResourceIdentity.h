#pragma once

#include <QList>
#include <QString>

// What a port, a bus or a file is, whatever its name's spelling: two transfers of one run may
// not share a serial port or a CAN bus, and an output may not be a file the run reads or writes
// otherwise. The keys are for comparing only, never for opening.
namespace ResourceIdentity {

// A file or device: its device and inode when it exists (through links), otherwise its
// absolute path with the folders' links resolved, so that "a/../b" and "./b" are one file.
QString ofFile(const QString &path);
bool sameFile(const QString &a, const QString &b);

// A CAN bus setting "plugin:interface": the plugin in lower case and the interface as given,
// or, where it is a URL, as a normalised URL (scheme and host in lower case, "localhost" as
// 127.0.0.1, no empty or "." segments, no trailing slash). A bare virtualcan channel ("can0")
// is the one on the plugin's default server.
QString ofCanBus(const QString &setting);

// The files one run touches, each under the name the user knows it by ("the image os.h86",
// "--log run.log"). An output is claimed after every input, so it is checked against all.
class FileClaims
{
public:
    // Takes `path` for `role`; returns the role that already holds that file (nothing is taken
    // then), or an empty string.
    [[nodiscard]] QString claim(const QString &role, const QString &path);

private:
    struct Claim
    {
        QString role;
        QString identity;
    };
    QList<Claim> m_claims;
};

} // namespace ResourceIdentity
