#include "comm/ResourceIdentity.h"

#include "comm/CanBusSetting.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <sys/stat.h>

namespace ResourceIdentity {

namespace {

// The virtual CAN plugin's server when the interface names only a channel.
const QString VirtualCanServer = QStringLiteral("tcp://127.0.0.1:35468/");

QString normalisedUrl(QUrl url)
{
    url.setScheme(url.scheme().toLower());
    url.setHost(url.host().toLower() == QLatin1String("localhost") ? QStringLiteral("127.0.0.1")
                                                                   : url.host().toLower());
    QString path = QDir::cleanPath(url.path());
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    url.setPath(path == QLatin1String(".") ? QString() : path);
    return url.toString(QUrl::NormalizePathSegments | QUrl::StripTrailingSlash);
}

} // namespace

QString ofFile(const QString &path)
{
    struct stat st = {};
    const QByteArray native = QFile::encodeName(path);
    if (!native.isEmpty() && ::stat(native.constData(), &st) == 0)
        return QStringLiteral("inode:%1:%2").arg(quint64(st.st_dev)).arg(quint64(st.st_ino));
    // Not there (yet): its folder may exist under another spelling.
    const QFileInfo info(path);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    const QString base = folder.isEmpty() ? QDir::cleanPath(info.absolutePath()) : folder;
    return QStringLiteral("path:") + QDir(base).filePath(info.fileName());
}

bool sameFile(const QString &a, const QString &b)
{
    return ofFile(a) == ofFile(b);
}

QString ofCanBus(const QString &setting)
{
    QString plugin;
    QString interfaceName;
    if (!SplitCanBusSetting(setting.trimmed(), &plugin, &interfaceName))
        return setting;
    plugin = plugin.trimmed().toLower();
    interfaceName = interfaceName.trimmed();
    if (plugin == QLatin1String("virtualcan") && !interfaceName.contains(u'/'))
        interfaceName = VirtualCanServer + interfaceName;
    if (interfaceName.contains(QLatin1String("://"))) {
        const QUrl url(interfaceName);
        if (url.isValid())
            interfaceName = normalisedUrl(url);
    }
    return plugin + u':' + interfaceName;
}

QString FileClaims::claim(const QString &role, const QString &path)
{
    const QString identity = ofFile(path);
    for (const Claim &c : std::as_const(m_claims)) {
        if (c.identity == identity)
            return c.role;
    }
    m_claims.append({role, identity});
    return QString();
}

} // namespace ResourceIdentity
