#include "ModemLinePattern.h"

#include <QStringList>

std::optional<ModemLinePattern> ModemLinePattern::parse(const QString &text, QString *error)
{
    ModemLinePattern pattern;
    State current;
    bool pending = false; // line steps since the last wait
    const QStringList steps = text.split(QLatin1Char(','));
    for (const QString &raw : steps) {
        const QString step = raw.trimmed().toLower();
        const qsizetype eq = step.indexOf(QLatin1Char('='));
        const QString name = step.left(eq);
        const QString value = step.mid(eq + 1);
        bool ok = false;
        const int number = value.toInt(&ok);
        ok = ok && eq > 0 && !value.startsWith(QLatin1Char('+'))
            && !value.startsWith(QLatin1Char('-'));
        if (ok && (name == QLatin1String("dtr") || name == QLatin1String("rts")) && number <= 1) {
            (name == QLatin1String("dtr") ? current.dtr : current.rts) = number;
            pending = true;
        } else if (ok && name == QLatin1String("wait")) {
            if (pending && number > 0) {
                pattern.addState(current);
                pending = false;
            }
        } else {
            *error = QStringLiteral("\"%1\" is not dtr=0|1, rts=0|1 or wait=MS").arg(raw.trimmed());
            return std::nullopt;
        }
    }
    if (pending)
        pattern.addState(current);
    if (pattern.m_states.isEmpty()) {
        *error = QStringLiteral("no dtr= or rts= step");
        return std::nullopt;
    }
    pattern.m_text = text.trimmed();
    return pattern;
}

void ModemLinePattern::addState(const State &state)
{
    // The device sees changes only: a state that repeats the one before is no new step.
    if (m_states.isEmpty() || m_states.last() != state)
        m_states << state;
}

bool ModemLinePattern::matches(const State &wanted, bool dtr, bool rts)
{
    return (wanted.dtr < 0 || wanted.dtr == int(dtr)) && (wanted.rts < 0 || wanted.rts == int(rts));
}

bool ModemLinePattern::observe(bool dtr, bool rts)
{
    if (matches(m_states.at(m_next), dtr, rts))
        ++m_next;
    else
        m_next = matches(m_states.first(), dtr, rts) ? 1 : 0;
    if (m_next < m_states.size())
        return false;
    m_next = 0;
    return true;
}
