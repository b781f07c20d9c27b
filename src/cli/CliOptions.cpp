#include "cli/CliOptions.h"

CliOptions::CliOptions(QStringList valueOptions, QStringList flagOptions,
                       QStringList optionalValueOptions)
    : m_valueOptions(std::move(valueOptions))
    , m_flagOptions(std::move(flagOptions))
    , m_optionalValueOptions(std::move(optionalValueOptions))
{ }

namespace {

// The flags that have a one-letter form, for a command that takes them.
QString shortFlag(const QString &arg)
{
    if (arg == QLatin1String("-q"))
        return QStringLiteral("quiet");
    if (arg == QLatin1String("-v"))
        return QStringLiteral("verbose");
    return QString();
}

} // namespace

bool CliOptions::parse(const QStringList &args)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (arg == QLatin1String("--")) {
            m_positional += args.mid(i + 1);
            break;
        }
        if (const QString flag = shortFlag(arg); m_flagOptions.contains(flag)) {
            m_flags.insert(flag);
            continue;
        }
        if (!arg.startsWith(QLatin1String("--")) || arg.size() == 2) {
            m_positional.append(arg);
            continue;
        }
        QString name = arg.mid(2);
        QString value;
        bool hasValue = false;
        const qsizetype eq = name.indexOf(u'=');
        if (eq >= 0) {
            value = name.mid(eq + 1);
            name = name.left(eq);
            hasValue = true;
        }
        if (m_flagOptions.contains(name)) {
            if (hasValue) {
                m_error = QStringLiteral("option --%1 takes no value").arg(name);
                return false;
            }
            m_flags.insert(name);
            continue;
        }
        if (m_optionalValueOptions.contains(name)) {
            m_values.insert(name, value);
            m_allValues[name].append(value);
            continue;
        }
        if (!m_valueOptions.contains(name)) {
            m_error = QStringLiteral("unknown option --%1").arg(name);
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) {
                m_error = QStringLiteral("option --%1 needs a value").arg(name);
                return false;
            }
            value = args.at(++i);
        }
        m_values.insert(name, value);
        m_allValues[name].append(value);
    }
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
