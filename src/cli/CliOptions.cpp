#include "cli/CliOptions.h"

CliOptions::CliOptions(QStringList valueOptions, QStringList flagOptions,
                       QStringList optionalValueOptions)
    : m_valueOptions(declare(valueOptions))
    , m_flagOptions(declare(flagOptions))
    , m_optionalValueOptions(declare(optionalValueOptions))
{ }

QStringList CliOptions::declare(const QStringList &entries)
{
    QStringList names;
    for (const QString &entry : entries) {
        const qsizetype bar = entry.indexOf(u'|');
        if (bar < 0) {
            names.append(entry);
            continue;
        }
        Q_ASSERT(entry.size() == bar + 2); // "name|x"
        names.append(entry.left(bar));
        m_shortNames.insert(entry.at(bar + 1), entry.left(bar));
    }
    return names;
}

QString CliOptions::longName(const QString &written) const
{
    if (written.startsWith(QLatin1String("--"))) {
        const QString name = written.mid(2);
        const bool known = m_flagOptions.contains(name) || m_valueOptions.contains(name)
            || m_optionalValueOptions.contains(name);
        return known ? name : QString();
    }
    return written.size() == 2 ? m_shortNames.value(written.at(1)) : QString();
}

bool CliOptions::parse(const QStringList &args)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (arg == QLatin1String("--")) {
            m_positional += args.mid(i + 1);
            break;
        }
        if (!arg.startsWith(u'-') || arg.size() == 1) {
            m_positional.append(arg);
            continue;
        }
        if (!takeOption(arg, args, &i))
            return false;
    }
    return true;
}

bool CliOptions::takeOption(const QString &arg, const QStringList &args, qsizetype *i)
{
    // "--name=VALUE"; a one-letter option takes its value as the next argument only.
    const qsizetype eq = arg.startsWith(QLatin1String("--")) ? arg.indexOf(u'=') : -1;
    const QString written = eq >= 0 ? arg.left(eq) : arg;
    const QString name = longName(written);
    if (name.isEmpty()) {
        m_error = QStringLiteral("unknown option %1").arg(written);
        return false;
    }
    const bool hasValue = eq >= 0;
    QString value = hasValue ? arg.mid(eq + 1) : QString();
    if (m_flagOptions.contains(name)) {
        if (hasValue) {
            m_error = QStringLiteral("option %1 takes no value").arg(written);
            return false;
        }
        m_flags.insert(name);
        return true;
    }
    if (!hasValue && !m_optionalValueOptions.contains(name)) {
        if (*i + 1 >= args.size()) {
            m_error = QStringLiteral("option %1 needs a value").arg(written);
            return false;
        }
        value = args.at(++*i);
    }
    m_values.insert(name, value);
    m_allValues[name].append(value);
    return true;
}

bool CliOptions::helpRequested(const QStringList &args)
{
    for (const QString &arg : args) {
        if (arg == QLatin1String("--"))
            return false;
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h"))
            return true;
    }
    return false;
}

bool CliOptions::isSet(const QString &name) const
{
    return m_flags.contains(name) || m_values.contains(name);
}

QString CliOptions::value(const QString &name) const
{
    return m_values.value(name);
}

QStringList CliOptions::values(const QString &name) const
{
    return m_allValues.value(name);
}
