#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

// Splits a command's arguments into positional ones and "--name VALUE", "--name=VALUE" or
// "--flag" options, refusing anything it was not told about. "-q" and "-v" stand for "--quiet"
// and "--verbose" where a command takes those. An option with an optional value
// is "--name" (value() empty) or "--name=VALUE"; it never takes the next argument.
class CliOptions
{
public:
    CliOptions(QStringList valueOptions, QStringList flagOptions,
               QStringList optionalValueOptions = {});

    // False with a message in error() for an unknown option or a missing value.
    [[nodiscard]] bool parse(const QStringList &args);
    // True when "-h" or "--help" is among the options, that is before a "--".
    static bool helpRequested(const QStringList &args);

    const QStringList &positional() const { return m_positional; }
    bool isSet(const QString &name) const;
    QString value(const QString &name) const;
    // Every value of an option given more than once, in order (value() is the last one).
    QStringList values(const QString &name) const;
    QString error() const { return m_error; }

private:
    QStringList m_valueOptions;
    QStringList m_flagOptions;
    QStringList m_optionalValueOptions;
    QStringList m_positional;
    QHash<QString, QString> m_values;
    QHash<QString, QStringList> m_allValues;
    QSet<QString> m_flags;
    QString m_error;
};
