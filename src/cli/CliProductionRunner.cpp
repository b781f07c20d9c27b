#include "cli/CliProductionRunner.h"

#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "cli/CliSignals.h"
#include "cli/CliTransferRunner.h"
#include "comm/KTSerial.h"
#include "transfer/TargetFiles.h"
#include "transfer/TransferOutcome.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>

#include <algorithm>
#include <cstdio>

// Members in the order they are made; they go in reverse, the runner first, the serial
// component last.
struct CliProductionRunner::Job
{
    QString label;
    QString unitId;
    std::unique_ptr<TKTSerial> serial;
    std::unique_ptr<SerialLink> link;
    std::unique_ptr<CliTransferFeeds> feeds;
    std::unique_ptr<ProductionRun> run;
    std::unique_ptr<CliTransferRunner> runner; // of the transfer running now
    QString lastError;
    QElapsedTimer clock;
    qint64 elapsedMs = 0;
};

CliProductionRunner::CliProductionRunner(const CliTransferSetup::Setup &setup,
                                         const CliFeedOptions &feeds,
                                         const ProductionOptions &options,
                                         const TransferLinks &links)
    : m_setup(setup), m_feeds(feeds), m_options(options), m_links(links)
{ }

CliProductionRunner::~CliProductionRunner() = default;

QList<CliProductionRunner::Outcome> CliProductionRunner::run(const DownloadRequest &request,
                                                             const QStringList &units, bool summary)
{
    QList<CliTransferSetup::PortChoice> ports = m_setup.ports;
    if (ports.isEmpty())
        ports.append({QString(), m_setup.serial.PortIndex, m_setup.portPath, m_setup.canBus,
                      m_setup.unitId});
    m_several = m_setup.ports.size() > 1;
    CliFeedOptions shown = m_feeds;
    shown.detached = true;
    shown.json = shown.json || m_quiet; // a runner in JSON mode prints nothing of its own

    QEventLoop loop;
    int running = 0;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const CliTransferSetup::PortChoice &port = ports.at(i);
        auto job = std::make_unique<Job>();
        Job *j = job.get();
        j->label = port.label;
        CliTransferSetup::Setup own = m_setup;
        own.serial.PortIndex = port.portIndex;
        own.portPath = port.path;
        own.canBus = port.canBus;
        j->serial = CliTransferSetup::makeSerial(own);
        j->link = m_links.makeSerial(*j->serial);
        TransferSetup transferSetup
            = CliTransferSetup::transferSetup(m_setup, port.portIndex, port.path, port.canBus);
        if (m_setup.ports.isEmpty())
            transferSetup.unitId = m_setup.unitId;
        if (i < units.size())
            transferSetup.unitId = units.at(i);
        j->unitId = transferSetup.unitId;
        j->feeds = std::make_unique<CliTransferFeeds>(m_feeds);
        if (m_several)
            j->feeds->setPort(j->label);
        j->run = std::make_unique<ProductionRun>(*j->link, m_links.canFactory(port.canBus), request,
                                                 m_options, transferSetup);
        connect(j->run.get(), &ProductionRun::event, j->feeds.get(), &CliTransferFeeds::handle);
        connect(j->run.get(), &ProductionRun::sessionStarted, this,
                [this, j, shown](TransferSession &session) {
                    j->runner
                        = std::make_unique<CliTransferRunner>(session, m_setup.assumeYes, shown);
                    if (m_several) {
                        j->runner->setPortLabel(j->label);
                        j->runner->setBootPromptHandler(
                            [this, j](const QString &) { onBootPrompt(j); });
                    }
                    connect(&session, &TransferSession::errorBox, this,
                            [j](const QString &title, const QString &text) {
                                j->lastError = title + QStringLiteral(": ")
                                    + TransferSession::plainText(text).simplified();
                            });
                });
        connect(j->run.get(), &ProductionRun::sessionEnded, this, [this, j] {
            m_prompt.forget(j);
            j->runner.reset();
            askWhenAllWaiting();
        });
        connect(j->run.get(), &ProductionRun::log, this, [this, j](const QString &text) {
            if (m_feeds.json || m_quiet)
                return;
            for (const QString &line : TransferSession::plainText(text).split(u'\n'))
                printOut(m_several ? QStringLiteral("[%1] %2").arg(j->label, line) : line);
            std::fflush(stdout);
        });
        connect(j->run.get(), &ProductionRun::finished, &loop, [this, j, &loop, &running] {
            j->elapsedMs = j->clock.elapsed();
            if (--running == 0)
                loop.quit();
            askWhenAllWaiting();
        });
        ++running;
        m_jobs.push_back(std::move(job));
    }

    const std::shared_ptr<CliSignals> breaks = CliSignals::acquire();
    connect(breaks.get(), &CliSignals::interrupted, this, &CliProductionRunner::interruptAll);
    for (const auto &job : m_jobs) {
        job->clock.start();
        job->run->start();
    }
    if (running > 0)
        loop.exec();
    m_prompt.clear();

    QList<Outcome> outcomes;
    for (const auto &job : m_jobs)
        outcomes.append(
            {job->label, job->unitId, job->run->result(), job->lastError, job->elapsedMs});
    m_jobs.clear(); // every port closed before the summary
    std::fflush(stdout);
    if (m_several && summary) {
        QList<CliBatchRunner::Result> rows;
        for (const Outcome &outcome : std::as_const(outcomes))
            rows.append(batchResult(outcome));
        if (m_feeds.json) {
            printErr(CliBatchRunner::summaryTable(rows));
        } else {
            printOut(QString());
            printOut(CliBatchRunner::summaryTable(rows));
        }
        std::fflush(stdout);
    }
    return outcomes;
}

bool CliProductionRunner::sharesCanBus(const CliTransferSetup::Setup &setup,
                                       const DownloadRequest &request)
{
    if (!TargetFiles::usesCan(request.deviceType, request.settings.COMInterface))
        return false;
    QHash<QString, QStringList> onBus;
    for (const CliTransferSetup::PortChoice &port : setup.ports) {
        QStringList &labels = onBus[port.canBus];
        labels << port.label;
        if (labels.size() > 1) {
            usageError(QStringLiteral("the CAN bus %1 carries one transfer at a time; %2 would "
                                      "all use it")
                           .arg(port.canBus, labels.join(QStringLiteral(", "))));
            return true;
        }
    }
    return false;
}

int CliProductionRunner::exitStatus(const QList<Outcome> &outcomes)
{
    int status = TransferOutcomes::ExitSuccess;
    for (const Outcome &outcome : outcomes)
        status = std::max(status, outcome.result.exitStatus);
    return status;
}

CliBatchRunner::Result CliProductionRunner::batchResult(const Outcome &outcome)
{
    CliBatchRunner::Result row {outcome.port, outcome.result.record, outcome.error};
    if (!outcome.result.refusal.isEmpty()) {
        row.record.outcome = TransferOutcome::Aborted;
        row.record.compared = false;
        row.record.reportText = outcome.result.refusal;
    }
    return row;
}

void CliProductionRunner::onBootPrompt(Job *job)
{
    m_prompt.wait(job, job->label, [job](bool confirmed) {
        if (TransferSession *session = job->run->session())
            session->answerBootPrompt(confirmed);
    });
    askWhenAllWaiting();
}

void CliProductionRunner::askWhenAllWaiting()
{
    // Every device that still runs waits at its prompt: one press of Enter for all of them.
    m_prompt.askIf(std::all_of(m_jobs.cbegin(), m_jobs.cend(), [this](const auto &job) {
        return job->run->hasFinished() || m_prompt.isWaiting(job.get());
    }));
}

void CliProductionRunner::interruptAll()
{
    m_prompt.close();
    for (const auto &job : m_jobs) {
        if (job->run->hasFinished())
            continue;
        if (job->runner)
            job->runner->interrupt();
        job->run->stop();
    }
}

bool productionOptions(const CliOptions &options, ProductionOptions *production, QString *error)
{
    ProductionOptions result;
    result.verify = options.isSet(QStringLiteral("verify"));
    result.skipUnchanged = options.isSet(QStringLiteral("skip-unchanged"));
    if (options.isSet(QStringLiteral("retries"))) {
        bool ok = false;
        result.retries = options.value(QStringLiteral("retries")).toInt(&ok);
        if (!ok || result.retries < 0 || result.retries > MaxRetries) {
            *error = QStringLiteral("--retries needs a number from 0 to %1").arg(MaxRetries);
            return false;
        }
    }
    *production = result;
    return true;
}
