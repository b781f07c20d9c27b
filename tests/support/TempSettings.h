#pragma once

#include <QTemporaryDir>

// Points XDG_CONFIG_HOME at a fresh directory for the lifetime of the object, so a test
// reads and writes a settings file of its own.
class TempSettings
{
public:
    TempSettings();
    ~TempSettings();
    TempSettings(const TempSettings &) = delete;
    TempSettings &operator=(const TempSettings &) = delete;

    QString path() const { return m_dir.path(); }
    // The INI file the program uses under this directory.
    QString iniFile() const;

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious = false;
};
