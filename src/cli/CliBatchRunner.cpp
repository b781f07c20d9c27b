#include "cli/CliBatchRunner.h"

#include "cli/CliCommand.h"
#include "cli/CliSignals.h"
#include "cli/CliTransferRunner.h"
#include "comm/KTSerial.h"
#include "comm/ResourceIdentity.h"
#include "transfer/TransferOutcome.h"
#include "transfer/TransferSession.h"

#include <QEventLoop>
#include <QHash>

#include <algorithm>
#include <cstdio>
#include <utility>

// Members in the order they are made; they go in reverse, the runner first, the serial
// component last.
struct CliBatchRunner::Job
{
    QString label;
    int portIndex = 0;
    QString canBus;
    std::unique_ptr<TKTSerial> serial;
    std::unique_ptr<SerialLink> link;
    std::unique_ptr<TransferSession> transfer;
    std::unique_ptr<CliTransferRunner> runner;
    QString lastError;
};

CliBatchRunner::CliBatchRunner(const CliTransferSetup::Setup &setup, const CliFeedOptions &feeds,
                               const TransferLinks &links)
    : m_setup(setup), m_feeds(feeds), m_links(links)
{ }

CliBatchRunner::~CliBatchRunner() = default;

int CliBatchRunner::run(const TransferMaker &make)
{
    for (const CliTransferSetup::PortChoice &port : m_setup.ports) {
        auto job = std::make_unique<Job>();
        job->label = port.label;
        job->portIndex = port.portIndex;
        job->canBus = port.canBus;
        CliTransferSetup::Setup own = m_setup;
        own.serial.PortIndex = port.portIndex;
        own.portPath = port.path;
        own.canBus = port.canBus;
        job->serial = CliTransferSetup::makeSerial(own);
        job->link = m_links.makeSerial(*job->serial);
        job->transfer = make(*job->link, m_links.canFactory(port.canBus),
                             CliTransferSetup::transferSetup(m_setup, port.portIndex, port.path,
                                                             port.canBus));
        m_jobs.push_back(std::move(job));
    }

    // One CAN bus carries one transfer, however its name is spelt: refused before any port is
    // opened.
    QStringList buses; // identities, in the order of their first port
    QHash<QString, QString> busNames; // identity -> the name its first port gave it
    QHash<QString, QStringList> onBus;
    for (const auto &job : m_jobs) {
        if (!job->transfer->usesCan())
            continue;
        const QString bus = ResourceIdentity::ofCanBus(job->canBus);
        if (!onBus.contains(bus)) {
            buses << bus;
            busNames.insert(bus, job->canBus);
        }
        onBus[bus] << job->label;
    }
    for (const QString &bus : std::as_const(buses)) {
        if (onBus.value(bus).size() > 1) {
            m_jobs.clear();
            return usageError(
                QStringLiteral("the CAN bus %1 carries one transfer at a time; %2 "
                               "would all use it")
                    .arg(busNames.value(bus), onBus.value(bus).join(QStringLiteral(", "))));
        }
    }

    QEventLoop loop;
    int running = 0;
    for (const auto &job : m_jobs) {
        Job *j = job.get();
        j->runner = std::make_unique<CliTransferRunner>(*j->transfer, m_setup.assumeYes, m_feeds);
        j->runner->setPortLabel(j->label);
        j->runner->setBootPromptHandler([this, j](const QString &) { onBootPrompt(j); });
        connect(j->transfer.get(), &TransferSession::errorBox, this,
                [j](const QString &title, const QString &text) {
                    j->lastError = title + QStringLiteral(": ")
                        + TransferSession::plainText(text).simplified();
                });
        connect(j->runner.get(), &CliTransferRunner::finished, &loop, [this, &loop, &running] {
            if (--running == 0)
                loop.quit();
            // A device that ended before its prompt no longer holds the others back.
            askWhenAllWaiting();
        });
        ++running;
    }

    // One signal (Ctrl+C, SIGTERM, SIGHUP) breaks every transfer; a second ends the process.
    const std::shared_ptr<CliSignals> breaks = CliSignals::acquire();
    connect(breaks.get(), &CliSignals::interrupted, this, &CliBatchRunner::interruptAll);
    for (const auto &job : m_jobs)
        job->runner->start();
    if (running > 0)
        loop.exec();
    m_prompt.clear();

    m_results.clear();
    for (const auto &job : m_jobs)
        m_results.append({job->label, job->runner->record(), job->lastError});
    m_jobs.clear(); // every port closed and every worker ended before the summary
    std::fflush(stdout);
    if (m_feeds.json) {
        // stdout carries JSON lines only; each finished line holds its port's record.
        printErr(summaryTable(m_results));
    } else {
        printOut(QString());
        printOut(summaryTable(m_results));
    }
    std::fflush(stdout);
    return exitStatus(m_results);
}

void CliBatchRunner::onBootPrompt(Job *job)
{
    m_prompt.wait(job, job->label,
                  [job](bool confirmed) { job->transfer->answerBootPrompt(confirmed); });
    askWhenAllWaiting();
}

void CliBatchRunner::askWhenAllWaiting()
{
    m_prompt.askIf(std::all_of(m_jobs.cbegin(), m_jobs.cend(), [this](const auto &job) {
        return job->runner->hasFinished() || m_prompt.isWaiting(job.get());
    }));
}

void CliBatchRunner::interruptAll()
{
    m_prompt.close(); // a prompt not yet asked is never asked now
    for (const auto &job : m_jobs) {
        if (job->runner && !job->runner->hasFinished())
            job->runner->interrupt();
    }
}

int CliBatchRunner::exitStatus(const QList<Result> &results)
{
    int status = TransferOutcomes::ExitSuccess;
    for (const Result &result : results)
        status = std::max(status, TransferOutcomes::exitStatus(result.record));
    return status;
}

QString CliBatchRunner::reportGist(const Result &result)
{
    const QString &text = result.record.compared && !result.record.compareText.isEmpty()
        ? result.record.compareText
        : result.record.reportText;
    QStringList lines;
    for (const QString &line : TransferSession::plainText(text).split(u'\n')) {
        if (!line.trimmed().isEmpty())
            lines << line.trimmed();
    }
    if (lines.isEmpty())
        return result.error.isEmpty() ? QStringLiteral("-") : result.error;
    if (lines.size() > 1 && lines.first().endsWith(u':'))
        return lines.at(0) + u' ' + lines.at(1);
    return lines.first();
}

QString CliBatchRunner::summaryTable(const QList<Result> &results)
{
    struct Row
    {
        QString port, result, bytes, time, report;
    };
    QList<Row> rows {{QStringLiteral("Port"), QStringLiteral("Result"), QStringLiteral("Bytes"),
                      QStringLiteral("Time"), QStringLiteral("Report")}};
    for (const Result &r : results) {
        Row row;
        row.port = r.port;
        switch (TransferOutcomes::exitStatus(r.record)) {
        case TransferOutcomes::ExitSuccess:
            row.result = QStringLiteral("ok");
            break;
        case TransferOutcomes::ExitAborted:
            row.result = QStringLiteral("refused");
            break;
        case TransferOutcomes::ExitDifferent:
            row.result = QStringLiteral("different");
            break;
        default:
            row.result = QStringLiteral("failed");
            break;
        }
        row.bytes = QString::number(r.record.bytes);
        if (r.record.started.isValid() && r.record.ended.isValid()) {
            const qint64 s = qMax<qint64>(0, r.record.started.secsTo(r.record.ended));
            row.time = QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
        } else {
            row.time = QStringLiteral("-");
        }
        row.report = reportGist(r);
        rows.append(row);
    }
    qsizetype wPort = 0, wResult = 0, wBytes = 0, wTime = 0;
    for (const Row &row : rows) {
        wPort = std::max(wPort, row.port.size());
        wResult = std::max(wResult, row.result.size());
        wBytes = std::max(wBytes, row.bytes.size());
        wTime = std::max(wTime, row.time.size());
    }
    QStringList lines;
    for (const Row &row : rows) {
        lines << (row.port.leftJustified(wPort) + QStringLiteral("  ")
                  + row.result.leftJustified(wResult) + QStringLiteral("  ")
                  + row.bytes.rightJustified(wBytes) + QStringLiteral("  ")
                  + row.time.rightJustified(wTime) + QStringLiteral("  ") + row.report);
    }
    return lines.join(u'\n');
}
