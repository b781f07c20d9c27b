#include "support/MachineExplorer.h"

namespace {

QString describe(const MachineInput &input)
{
    switch (input.kind) {
    case MachineInput::Kind::Read:
        return QStringLiteral("read %1").arg(QString::fromLatin1(input.bytes.toHex()));
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

} // namespace

ExplorationResult explore(const MachineExploration &e)
{
    ExplorationResult result;
    const int n = int(e.goodRun.size());
    auto check = [&](MachineDriver &d, const QString &what) {
        ++result.cases;
        QString problem;
        if (!d.finished())
            problem = QStringLiteral("never ends");
        else if (d.hangs > 0)
            problem = QStringLiteral("waits with no watchdog");
        else if (d.sendsAfterFinish > 0)
            problem = QStringLiteral("sends after its end");
        else if (d.outcome() == TransferOutcome::Success && !e.movedEverything(d))
            problem = QStringLiteral("succeeds without the data");
        if (!problem.isEmpty() && result.violations.size() < 10)
            result.violations << what + QStringLiteral(": ") + problem;
    };

    {
        MachineDriver good(e.make());
        good.confirm();
        good.feed(e.goodRun);
        good.silence();
        if (good.outcome() != TransferOutcome::Success || !e.movedEverything(good))
            result.violations << QStringLiteral("the good run fails: ") + good.result();
    }
    for (int prefix = 0; prefix <= n; ++prefix) {
        if (e.prefixes && !e.prefixes(prefix))
            continue;
        for (const MachineInput &variant : e.variants) {
            for (bool goodDevice : {true, false}) {
                MachineDriver d(e.make());
                d.confirm();
                d.feed(e.goodRun.mid(0, prefix));
                d.feed(variant);
                if (goodDevice)
                    d.feed(e.goodRun.mid(prefix));
                d.silence();
                check(d,
                      QStringLiteral("after %1 inputs, %2, then %3")
                          .arg(prefix)
                          .arg(describe(variant),
                               goodDevice ? QStringLiteral("the good device")
                                          : QStringLiteral("silence")));
            }
        }
    }
    return result;
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
