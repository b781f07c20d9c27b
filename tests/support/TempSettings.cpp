#include "support/TempSettings.h"

#include <QDir>
#include <QSettings>

TempSettings::TempSettings()
{
    m_hadPrevious = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    m_previous = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()));
    // QSettings caches the user path once per process; set it explicitly as well.
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path());
}

TempSettings::~TempSettings()
{
    if (m_hadPrevious)
        qputenv("XDG_CONFIG_HOME", m_previous);
    else
        qunsetenv("XDG_CONFIG_HOME");
    const QString home = m_hadPrevious ? QFile::decodeName(m_previous)
                                       : QDir::homePath() + QStringLiteral("/.config");
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home);
}

QString TempSettings::iniFile() const
{
    return QDir(m_dir.path()).filePath(QStringLiteral("Halvero/BrasvikV6.ini"));
}
