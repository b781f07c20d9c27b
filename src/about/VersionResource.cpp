#include "about/VersionResource.h"

namespace {

QString blockName(TVersionResource::Translation t)
{
    return QStringLiteral("StringFileInfo\\")
        + QStringLiteral("%1%2")
              .arg(t.language, 4, 16, QLatin1Char('0'))
              .arg(t.codePage, 4, 16, QLatin1Char('0'))
              .toUpper();
}

QString stripped(QString path)
{
    while (path.startsWith(u'\\'))
        path.remove(0, 1);
    return path;
}

} // namespace

const TVersionResource &TVersionResource::program()
{
    static const TVersionResource resource = [] {
        TVersionResource r;
        // U.S. English, Windows Latin-1: what a resource compiler writes by default.
        r.setTranslation({0x0409, 0x04E4});
        r.setString(QStringLiteral("CompanyName"), QStringLiteral("Halvero"));
        r.setString(QStringLiteral("ProductName"), QStringLiteral("BrasvikV6"));
        r.setString(QStringLiteral("ProductVersion"), QStringLiteral(BRASVIK_VERSION));
        r.setString(QStringLiteral("FileVersion"), QStringLiteral(BRASVIK_VERSION));
        r.setString(QStringLiteral("LegalCopyright"),
                    QStringLiteral("Copyright \u00A9 2026 Halvero. All rights reserved."));
        r.setString(QStringLiteral("Easter egg"),
                    QStringLiteral("Flashed with care, one sector at a time."));
        return r;
    }();
    return resource;
}

void TVersionResource::setTranslation(Translation translation)
{
    m_translation = translation;
    m_hasTranslation = true;
}

void TVersionResource::setString(const QString &key, const QString &value)
{
    m_strings.insert(key, value);
}

int TVersionResource::size() const
{
    if (!m_hasTranslation && m_strings.isEmpty())
        return 0;
    int bytes = 4;
    for (auto it = m_strings.cbegin(); it != m_strings.cend(); ++it)
        bytes += int((it.key().size() + it.value().size() + 2) * 2);
    return bytes;
}

bool TVersionResource::translation(Translation *translation) const
{
    if (!m_hasTranslation)
        return false;
    if (translation)
        *translation = m_translation;
    return true;
}

bool TVersionResource::queryValue(const QString &subBlock, QString *value) const
{
    const QString path = stripped(subBlock);
    if (path.compare(QStringLiteral("VarFileInfo\\Translation"), Qt::CaseInsensitive) == 0)
        return false; // binary, read through translation()
    if (!m_hasTranslation)
        return false;
    const QString prefix = blockName(m_translation) + u'\\';
    if (!path.startsWith(prefix, Qt::CaseInsensitive))
        return false;
    const auto it = m_strings.constFind(path.mid(prefix.size()));
    if (it == m_strings.cend())
        return false;
    if (value)
        *value = *it;
    return true;
}
