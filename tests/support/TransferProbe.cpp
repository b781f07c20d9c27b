#include "support/TransferProbe.h"

#include "support/VirtualTimerSource.h"
#include "transfer/TransferOutcome.h"
#include "transfer/TransferSession.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>

TransferProbe::TransferProbe(TransferSession &transfer, BootPrompt prompt)
    : m_transfer(transfer), m_context(std::make_unique<QObject>())
{
    QObject *context = m_context.get();
    QObject::connect(&transfer, &TransferSession::event, context, [this](const TransferEvent &e) {
        events << e;
        if (e.kind == TransferEvent::Kind::Log)
            logs << e.text;
        if (e.kind == TransferEvent::Kind::Finished)
            record = e.record;
        if (onEvent)
            onEvent(e);
    });
    QObject::connect(&transfer, &TransferSession::statusText, context,
                     [this](const QString &text) { status = text; });
    QObject::connect(&transfer, &TransferSession::errorBox, context,
                     [this](const QString &title, const QString &text, const QString &hint) {
                         boxes.append({title, text, hint});
                     });
    QObject::connect(&transfer, &TransferSession::finalReport, context,
                     [this](const QString &text) {
                         reportAfterEnd = reportAfterEnd || finished();
                         reportText = text;
                         reportShown = true;
                     });
    QObject::connect(&transfer, &TransferSession::bootPromptRequested, context,
                     [this] { promptShown = true; });
    if (prompt == BootPrompt::Confirm) {
        QObject::connect(
            &transfer, &TransferSession::bootPromptRequested, context,
            [this] { m_transfer.answerBootPrompt(true); }, Qt::QueuedConnection);
    }
}

TransferProbe::~TransferProbe() = default;

const TransferRecord &TransferProbe::result() const
{
    static const TransferRecord none;
    return record ? *record : none;
}

bool TransferProbe::run(int msecs)
{
    QEventLoop loop;
    QObject::connect(&m_transfer, &TransferSession::event, &loop, [&](const TransferEvent &e) {
        if (e.kind == TransferEvent::Kind::Finished)
            loop.quit();
    });
    QTimer::singleShot(msecs, &loop, &QEventLoop::quit);
    m_transfer.start();
    if (!finished())
        loop.exec();
    return finished();
}

bool TransferProbe::waitFinished(VirtualTimerSource &clock, qint64 ms)
{
    return clock.advanceUntil([this] { return finished(); }, ms) && streamIsWhole();
}

bool TransferProbe::streamIsWhole() const
{
    const auto ends = std::count_if(events.begin(), events.end(), [](const TransferEvent &e) {
        return e.kind == TransferEvent::Kind::Finished;
    });
    return record && !reportAfterEnd && !events.isEmpty()
        && events.first().kind == TransferEvent::Kind::Started && ends == 1
        && events.last().kind == TransferEvent::Kind::Finished
        && record->reportText == TransferSession::plainText(reportShown ? reportText : shownError())
        && record->modalResult == TransferOutcomes::modalResult(record->outcome);
}

QList<TransferPhase> TransferProbe::phases() const
{
    QList<TransferPhase> entered;
    for (const TransferEvent &e : events) {
        if (e.kind == TransferEvent::Kind::Phase)
            entered << e.phase;
    }
    return entered;
}

QStringList TransferProbe::boxLines() const
{
    QStringList lines;
    for (const Box &box : boxes)
        lines << box.title + u'|' + box.text;
    return lines;
}

QString TransferProbe::shownError() const
{
    if (boxes.isEmpty())
        return QString();
    const Box &last = boxes.last();
    return last.hint.isEmpty() ? last.text : last.text + QStringLiteral("\r\n\r\n") + last.hint;
}
