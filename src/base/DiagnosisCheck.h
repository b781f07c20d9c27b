#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One finding of the setup doctor: what was checked, how it went, and for anything short of
// OK one sentence saying what to do. The settings, port, CAN and target-program checks all
// report in this shape, so the command-line tool prints them alike and as JSON.
struct DiagnosisCheck
{
    enum class Verdict { Ok, Warn, Fail };

    QString id; // stable name for scripts, e.g. "port.access"
    Verdict verdict = Verdict::Ok;
    QString text; // what was found
    QString hint; // what to do; empty for OK

    static DiagnosisCheck ok(const QString &id, const QString &text);
    static DiagnosisCheck warn(const QString &id, const QString &text, const QString &hint);
    static DiagnosisCheck fail(const QString &id, const QString &text, const QString &hint);
};

using DiagnosisChecks = QList<DiagnosisCheck>;

namespace Diagnosis {

// "OK", "WARN", "FAIL".
QString verdictName(DiagnosisCheck::Verdict verdict);
bool anyFailed(const DiagnosisChecks &checks);
// The hint of the first FAIL, else of the first WARN, else empty: the one sentence a message
// box adds under an error.
QString firstHint(const DiagnosisChecks &checks);

// One line per check ("WARN  text"), the hint on the next line, and a closing count.
QString toText(const DiagnosisChecks &checks);
// One compact object per check and line, {"id","verdict","text","hint"}, as the transfers'
// JSON feed has it; whether one failed is the exit status.
QByteArray toJson(const DiagnosisChecks &checks);

} // namespace Diagnosis
