#include "base/DiagnosisCheck.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

DiagnosisCheck DiagnosisCheck::ok(const QString &id, const QString &text)
{
    return {id, Verdict::Ok, text, {}};
}

DiagnosisCheck DiagnosisCheck::warn(const QString &id, const QString &text, const QString &hint)
{
    return {id, Verdict::Warn, text, hint};
}

DiagnosisCheck DiagnosisCheck::fail(const QString &id, const QString &text, const QString &hint)
{
    return {id, Verdict::Fail, text, hint};
}

namespace Diagnosis {

namespace {

int count(const DiagnosisChecks &checks, DiagnosisCheck::Verdict verdict)
{
    return int(std::count_if(checks.begin(), checks.end(),
                             [verdict](const DiagnosisCheck &c) { return c.verdict == verdict; }));
}

} // namespace

QString verdictName(DiagnosisCheck::Verdict verdict)
{
    switch (verdict) {
    case DiagnosisCheck::Verdict::Ok:
        return QStringLiteral("OK");
    case DiagnosisCheck::Verdict::Warn:
        return QStringLiteral("WARN");
    case DiagnosisCheck::Verdict::Fail:
        return QStringLiteral("FAIL");
    }
    return {};
}

bool anyFailed(const DiagnosisChecks &checks)
{
    return count(checks, DiagnosisCheck::Verdict::Fail) > 0;
}

QString firstHint(const DiagnosisChecks &checks)
{
    for (auto verdict : {DiagnosisCheck::Verdict::Fail, DiagnosisCheck::Verdict::Warn}) {
        for (const DiagnosisCheck &c : checks) {
            if (c.verdict == verdict && !c.hint.isEmpty())
                return c.hint;
        }
    }
    return {};
}

QString toText(const DiagnosisChecks &checks)
{
    QString out;
    for (const DiagnosisCheck &c : checks) {
        out += verdictName(c.verdict).leftJustified(6) + c.text + u'\n';
        if (c.verdict != DiagnosisCheck::Verdict::Ok && !c.hint.isEmpty())
            out += QStringLiteral("      -> ") + c.hint + u'\n';
    }
    out += QStringLiteral("%1 OK, %2 WARN, %3 FAIL")
               .arg(count(checks, DiagnosisCheck::Verdict::Ok))
               .arg(count(checks, DiagnosisCheck::Verdict::Warn))
               .arg(count(checks, DiagnosisCheck::Verdict::Fail));
    return out;
}

QByteArray toJson(const DiagnosisChecks &checks)
{
    QByteArray lines;
    for (const DiagnosisCheck &c : checks) {
        const QJsonObject check {{QStringLiteral("id"), c.id},
                                 {QStringLiteral("verdict"), verdictName(c.verdict)},
                                 {QStringLiteral("text"), c.text},
                                 {QStringLiteral("hint"), c.hint}};
        lines += QJsonDocument(check).toJson(QJsonDocument::Compact) + '\n';
    }
    return lines;
}

} // namespace Diagnosis
