#include "transfer/BootLines.h"

#include <QStringList>

namespace BootLines {

namespace {

// Digits only: no sign, no blanks, no "0x"; at most the digits of MaxWaitMs.
bool parseMs(const QString &text, int *ms)
{
    if (text.isEmpty() || text.size() > 5)
        return false;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    *ms = text.toInt();
    return *ms <= MaxWaitMs;
}

} // namespace

Sequence parse(const QString &text)
{
    Sequence result;
    if (text.trimmed().isEmpty())
        return result;
    const QStringList parts = text.split(u',');
    if (parts.size() > MaxSteps) {
        result.error = QStringLiteral("%1 steps; a sequence has at most %2 steps and %3 ms of "
                                      "waiting in all")
                           .arg(parts.size())
                           .arg(MaxSteps)
                           .arg(MaxTotalWaitMs);
        return result;
    }
    int waited = 0;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString step = parts.at(i).trimmed();
        const QString where = QStringLiteral("step %1").arg(i + 1);
        if (step.isEmpty()) {
            result.error = where + QStringLiteral(" is empty");
            break;
        }
        const QString named = QStringLiteral("%1 \"%2\": ").arg(where, step);
        const qsizetype eq = step.indexOf(u'=');
        const QString name = step.left(eq).toLower();
        const QString value = eq < 0 ? QString() : step.mid(eq + 1);
        if (eq < 0 || (name != u"dtr" && name != u"rts" && name != u"wait")) {
            result.error = named + QStringLiteral("expected dtr=0|1, rts=0|1 or wait=MS");
            break;
        }
        Step parsed;
        if (name == u"wait") {
            parsed.kind = Step::Kind::Wait;
            if (!parseMs(value, &parsed.value)) {
                result.error
                    = named + QStringLiteral("wait takes milliseconds from 0 to %1").arg(MaxWaitMs);
                break;
            }
            waited += parsed.value;
            if (waited > MaxTotalWaitMs) {
                result.error = named
                    + QStringLiteral("the waits come to %1 ms; a sequence has at most %2 steps "
                                     "and %3 ms of waiting in all")
                          .arg(waited)
                          .arg(MaxSteps)
                          .arg(MaxTotalWaitMs);
                break;
            }
        } else {
            parsed.kind = name == u"dtr" ? Step::Kind::Dtr : Step::Kind::Rts;
            if (value != u"0" && value != u"1") {
                result.error = named + QStringLiteral("%1 takes 0 or 1").arg(name);
                break;
            }
            parsed.value = value == u"1" ? 1 : 0;
        }
        result.steps.append(parsed);
    }
    if (!result.ok())
        result.steps.clear();
    return result;
}

QString toText(const QList<Step> &steps)
{
    QStringList parts;
    for (const Step &step : steps) {
        const char *name = step.kind == Step::Kind::Dtr ? "dtr"
            : step.kind == Step::Kind::Rts              ? "rts"
                                                        : "wait";
        parts << QStringLiteral("%1=%2").arg(QLatin1String(name)).arg(step.value);
    }
    return parts.join(u',');
}

} // namespace BootLines
