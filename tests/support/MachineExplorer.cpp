#include "support/MachineExplorer.h"

#include "transfer/TransferOutcome.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>

namespace {

// A device that never stops, answering at its pace, must have been stopped within this many of
// its answers: the repetitions it may ask for, or the longest wait it does not put off.
constexpr int EndlessBound = 4 * TransferMachine::MaxRepeats + 60;

QString describe(const MachineInput &input)
{
    switch (input.kind) {
    case MachineInput::Kind::Read:
        return QStringLiteral("read %1").arg(QString::fromLatin1(input.bytes.toHex().left(16)));
    case MachineInput::Kind::Frame:
        return QStringLiteral("frame %1 len %2 [%3]")
            .arg(input.frame.ID, 0, 16)
            .arg(input.frame.Len)
            .arg(QString::fromLatin1(
                QByteArray(reinterpret_cast<const char *>(input.frame.Data), 8).toHex()));
    case MachineInput::Kind::Timeout:
        return QStringLiteral("timeout");
    case MachineInput::Kind::CanPhase:
        return QStringLiteral("CAN phase");
    case MachineInput::Kind::UserBreak:
        return QStringLiteral("user break");
    case MachineInput::Kind::LineError:
        return QStringLiteral("line error");
    case MachineInput::Kind::CanError:
        return QStringLiteral("CAN error");
    }
    return {};
}

bool isRead(const MachineInput &input)
{
    return input.kind == MachineInput::Kind::Read;
}

class Explorer
{
public:
    explicit Explorer(const MachineExploration &e) : m_e(e) { }

    // Feeds `inputs`, then silence, and checks the case. `mustSucceed`: a good device's run.
    void run(const QList<MachineInput> &inputs, const QString &what, bool mustSucceed = false,
             int endlessFrom = -1)
    {
        ++m_result.cases;
        MachineDriver d(m_e.make());
        // A device that never stops answers at its pace: the waits run out between.
        d.msPerInput = endlessFrom >= 0 ? m_e.endlessEveryMs : 0;
        d.confirm();
        int finishedAfter = -1;
        for (const MachineInput &input : inputs) {
            d.feed(input);
            if (finishedAfter < 0 && d.finished())
                finishedAfter = d.inputs;
        }
        d.silence();
        QString problem = check(d);
        if (problem.isEmpty() && mustSucceed && d.outcome() != TransferOutcome::Success)
            problem = QStringLiteral("a good device fails: ") + d.result();
        if (problem.isEmpty() && endlessFrom >= 0 && finishedAfter < 0)
            problem = QStringLiteral("goes on with a device that never stops");
        if (problem.isEmpty())
            problem = afterTheEnd(d);
        if (!problem.isEmpty() && m_result.violations.size() < 10)
            m_result.violations << what + QStringLiteral(": ") + problem;
    }

    ExplorationResult result() const { return m_result; }

private:
    QString check(MachineDriver &d) const
    {
        const TransferMachine &m = d.machine();
        const bool success = d.outcome() == TransferOutcome::Success;
        const QString text = m.resultText();
        if (!d.finished())
            return QStringLiteral("never ends");
        if (d.hangs > 0)
            return QStringLiteral("waits with no watchdog");
        if (d.sendsAfterFinish > 0)
            return QStringLiteral("sends after its end");
        if (m.byteCount().total() != d.bytesRead)
            return QStringLiteral("read %1 bytes, accounted for %2")
                .arg(d.bytesRead)
                .arg(m.byteCount().total());
        if (success != text.contains(QLatin1String("successful:"))
            || success == text.contains(QLatin1String("aborted:"))
            || (TransferOutcomes::modalResult(d.outcome()) == 1) != success)
            return QStringLiteral("the report does not agree with the outcome: ") + d.result();
        if (success && !m_e.movedEverything(d))
            return QStringLiteral("succeeds without the data");
        if (m_e.storedWithin && !m_e.storedWithin(d))
            return QStringLiteral("stores past what it asked for");
        return {};
    }

    // Once ended, nothing changes the outcome or the report.
    static QString afterTheEnd(MachineDriver &d)
    {
        const TransferOutcome outcome = d.outcome();
        const QString text = d.result();
        d.feed(MachineInput::userBreak());
        d.feed(MachineInput::timeout());
        d.feed(MachineInput::lineError(0x0002));
        d.feed(MachineInput::hex("55aa"));
        if (d.outcome() != outcome || d.result() != text)
            return QStringLiteral("changes after its end to ") + d.result();
        return {};
    }

    const MachineExploration &m_e;
    ExplorationResult m_result;
};

// The good run with each read cut by `cut` (the pieces of one read in order).
QList<MachineInput> cutReads(const QList<MachineInput> &run,
                             const std::function<QList<QByteArray>(const QByteArray &)> &cut)
{
    QList<MachineInput> out;
    for (const MachineInput &input : run) {
        if (!isRead(input) || input.bytes.size() < 2) {
            out << input;
            continue;
        }
        for (const QByteArray &piece : cut(input.bytes))
            out << MachineInput::read(piece);
    }
    return out;
}

} // namespace

ExplorationResult explore(const MachineExploration &e)
{
    Explorer x(e);
    const QList<MachineInput> &good = e.goodRun;
    const int n = int(good.size());
    const auto tried = [&](int prefix) {
        return !e.prefixes || e.prefixes(prefix);
    };

    x.run(good, QStringLiteral("the good run"), true);

    // Reads of any split.
    x.run(cutReads(good,
                   [](const QByteArray &bytes) {
                       QList<QByteArray> pieces;
                       for (char c : bytes)
                           pieces << QByteArray(1, c);
                       return pieces;
                   }),
          QStringLiteral("one byte per read"), true);
    QRandomGenerator random(2513);
    for (int r = 0; r < e.randomCuts; ++r) {
        x.run(cutReads(good,
                       [&](const QByteArray &bytes) {
                           QList<QByteArray> pieces;
                           qsizetype at = 0;
                           while (at < bytes.size()) {
                               const qsizetype len = 1
                                   + random.bounded(int(qMin<qsizetype>(bytes.size() - at, 300)));
                               pieces << bytes.mid(at, len);
                               at += len;
                           }
                           return pieces;
                       }),
              QStringLiteral("cut at random points (%1)").arg(r), true);
    }
    {
        QList<MachineInput> merged;
        for (const MachineInput &input : good) {
            if (isRead(input) && !merged.isEmpty() && isRead(merged.last()))
                merged.last().bytes += input.bytes;
            else
                merged << input;
        }
        x.run(merged, QStringLiteral("all reads at once"));
    }

    for (int prefix = 0; prefix <= n; ++prefix) {
        if (!tried(prefix))
            continue;
        const QList<MachineInput> before = good.mid(0, prefix);
        const QList<MachineInput> after = good.mid(prefix);
        // Every input where the run stands, then the good device or silence.
        const bool goodAfter = !e.goodDeviceAfter || e.goodDeviceAfter(prefix);
        for (const MachineInput &variant : e.variants) {
            for (bool goodDevice : {true, false}) {
                if (goodDevice && !goodAfter)
                    continue;
                x.run(before + QList<MachineInput> {variant}
                          + (goodDevice ? after : QList<MachineInput> {}),
                      QStringLiteral("after %1 inputs, %2, then %3")
                          .arg(prefix)
                          .arg(describe(variant),
                               goodDevice ? QStringLiteral("the good device")
                                          : QStringLiteral("silence")));
            }
        }
        // A device that never stops asking.
        for (const MachineInput &answer : e.endless) {
            x.run(before + QList<MachineInput>(EndlessBound, answer),
                  QStringLiteral("after %1 inputs, %2 for ever").arg(prefix).arg(describe(answer)),
                  false, prefix + 1);
        }
        if (prefix == n || (e.strays && !e.strays(prefix)))
            continue;
        // Stray bytes before, inside and after the answer; the answer twice.
        const MachineInput &answer = good.at(prefix);
        QList<MachineInput> changed;
        if (isRead(answer)) {
            const QByteArray &bytes = answer.bytes;
            for (int v = 0; v < 256; ++v) {
                const char c = char(v);
                changed << MachineInput::read(c + bytes) << MachineInput::read(bytes + c);
                if (bytes.size() > 1) {
                    const qsizetype mid = bytes.size() / 2;
                    changed << MachineInput::read(bytes.left(mid) + c + bytes.mid(mid));
                }
            }
            changed << MachineInput::read(bytes + bytes);
        } else if (answer.kind == MachineInput::Kind::Frame
                   && (e.strayFrameId == 0 || answer.frame.ID == e.strayFrameId)) {
            for (int v = 0; v < 256; ++v) {
                const MachineInput stray
                    = MachineInput::can(answer.frame.ID, QByteArray(1, char(v)));
                x.run(before + QList<MachineInput> {stray} + after,
                      QStringLiteral("%1 before input %2").arg(describe(stray)).arg(prefix));
                x.run(before + QList<MachineInput> {answer, stray} + after.mid(1),
                      QStringLiteral("%1 after input %2").arg(describe(stray)).arg(prefix));
            }
        }
        for (const MachineInput &c : changed) {
            x.run(before + QList<MachineInput> {c} + after.mid(1),
                  QStringLiteral("input %1 as %2").arg(prefix).arg(describe(c)));
        }
        x.run(before + QList<MachineInput> {answer} + after,
              QStringLiteral("input %1 twice").arg(prefix));
    }

    // A device that sends past the end of what was asked for.
    if (!e.pastTheEnd.isEmpty())
        x.run(good.mid(0, n - 1) + e.pastTheEnd + good.mid(n - 1), QStringLiteral("past the end"));
    return x.result();
}

QList<MachineInput> serialVariants()
{
    QList<MachineInput> variants;
    for (int b = 0; b < 256; ++b)
        variants << MachineInput::read(quint8(b));
    variants << MachineInput::timeout() << MachineInput::userBreak();
    return variants;
}

QList<MachineInput> canVariants(quint32 replyId, const QList<quint8> &statuses,
                                const QList<quint32> &foreignIds)
{
    QList<MachineInput> variants;
    for (int status = 0; status < 256; ++status)
        variants << MachineInput::reply(replyId, quint8(status));
    for (int len = 0; len <= 8; ++len) {
        for (quint8 status : statuses)
            variants << MachineInput::can(replyId, QByteArray(len, char(status)));
    }
    for (quint32 id : foreignIds) {
        for (quint8 status : statuses)
            variants << MachineInput::reply(id, status);
    }
    variants << MachineInput::canError(0x0010);
    return variants;
}

bool containsInOrder(const QList<QByteArray> &sends, const QList<QByteArray> &expected)
{
    qsizetype at = 0;
    for (const QByteArray &s : sends) {
        if (at < expected.size() && s == expected.at(at))
            ++at;
    }
    return at == expected.size();
}

bool answeredInStep(const MachineDriver &d, const AnswerCheck &c)
{
    const QList<MachineDriver::Exchange> &wire = d.wire;
    for (qsizetype k = 0; k < c.planned.size(); ++k) {
        const bool last = k == c.planned.size() - 1;
        qsizetype at = -1;
        for (qsizetype i = 0; i < wire.size(); ++i) {
            if (wire[i].sent && wire[i].can == c.can && wire[i].bytes == c.planned[k])
                at = i;
        }
        if (at < 0)
            return false;
        QList<quint8> answers;
        for (qsizetype i = at + 1; i < wire.size() && !wire[i].sent; ++i) {
            QByteArray bytes = wire[i].bytes;
            if (wire[i].can != c.can)
                continue;
            if (c.can) {
                const QByteArray key = wire[i].bytes;
                quint32 id = 0;
                for (int b = 0; b < 4; ++b)
                    id = (id << 8) | quint8(key[b]);
                if (id != c.replyId || key.size() < 5)
                    continue;
                bytes = key.mid(4, 1);
            }
            for (char b : bytes) {
                if (c.answers.contains(quint8(b)))
                    answers << quint8(b);
            }
        }
        // The end's answer ends the transfer: what follows it is no longer read.
        if (last ? (answers.isEmpty() || answers.first() != c.end)
                 : (answers.size() != 1 || answers.first() != c.ok))
            return false;
    }
    return true;
}

QString exploreLogged(const MachineExploration &exploration, const QString &name)
{
    QElapsedTimer timer;
    timer.start();
    const ExplorationResult r = explore(exploration);
    qInfo("%s: %d cases in %lld ms", qPrintable(name), r.cases, timer.elapsed());
    return r.violations.join(u'\n');
}

void addMachineKindRows()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"serial", "retain", "board", "can", "can-retain"})
        QTest::newRow(name) << QString::fromLatin1(name);
}
