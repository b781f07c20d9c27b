#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

// Splits a command's arguments into positional ones and "--name VALUE", "--name=VALUE" or
// "--flag" options, refusing anything it was not told about. An option with an optional value
// is "--name" (value() empty) or "--name=VALUE"; it never takes the next argument.
//
// The lists a command passes in are its whole table of options: anything else that starts with
// "-" is refused as an unknown option, so a file name that starts with "-" comes after "--",
// which ends the options. A lone "-" is an argument. An option may have a one-letter form,
// declared as "name|x": "-x" is then "--name" ("-x VALUE" for a value option); the option is
// looked up by its long name.
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
    // Takes the one-letter forms out of a list of "name" or "name|x" entries.
    QStringList declare(const QStringList &entries);
    // The long name an option written "--name" or "-x" stands for; empty when it is unknown.
    QString longName(const QString &written) const;
    bool takeOption(const QString &name, const QStringList &args, qsizetype *i);

    // Before the lists: declare() fills it while they are built.
    QHash<QChar, QString> m_shortNames;
    QStringList m_valueOptions;
    QStringList m_flagOptions;
    QStringList m_optionalValueOptions;
    QStringList m_positional;
    QHash<QString, QString> m_values;
    QHash<QString, QStringList> m_allValues;
    QSet<QString> m_flags;
    QString m_error;
};
