#pragma once

#include "cli/CliBatchRunner.h"
#include "cli/CliSharedPrompt.h"
#include "cli/CliTransferFeeds.h"
#include "cli/CliTransferSetup.h"
#include "production/ProductionRun.h"
#include "transfer/TransferLinks.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class CliOptions;

// The most further tries --retries allows.
constexpr int MaxRetries = 10;
// The download's IMAGE (the one positional argument) with --erase, the device and the
// connection options, as download and station take them. False with the message on stderr.
[[nodiscard]] bool loadDownloadRequest(const CliOptions &options, DownloadRequest *request,
                                       CliTransferSetup::Setup *setup);
// Why --verify or --skip-unchanged cannot read a download back, from canResumeAt's reason.
QString readBackRefusal(const QString &why);
// --verify, --skip-unchanged and --retries N. False with a message in `error`.
[[nodiscard]] bool productionOptions(const CliOptions &options, ProductionOptions *production,
                                     QString *error);

// Runs a download as the production line does (ProductionRun: unit proof, verify, tries, the
// check before) on one port or on several at once, all on one event loop. Each transfer of a
// run is presented as a single one is (CliTransferRunner), the run's own lines between them;
// with several ports every line starts with "[PORT] ", the boot prompt is asked once for all
// the devices waiting at it, and a summary table follows. The service record and the JSON feed
// follow each run's record stream. Ctrl+C breaks every run and starts no further transfer.
class CliProductionRunner : public QObject
{
    Q_OBJECT
public:
    // One port's run: as the summary shows it, and how it ended.
    struct Outcome
    {
        QString port;
        QString unitId;
        ProductionRun::Result result;
        QString error; // the last error box
        qint64 elapsedMs = 0;
    };

    CliProductionRunner(const CliTransferSetup::Setup &setup, const CliFeedOptions &feeds,
                        const ProductionOptions &options,
                        const TransferLinks &links = TransferLinks::real());
    ~CliProductionRunner() override;

    // Runs `request` on the setup's ports (its one port when it names none). `units` gives the
    // unit on each port in their order (empty: the setup's). Prints the summary with several
    // ports unless `summary` is false.
    QList<Outcome> run(const DownloadRequest &request, const QStringList &units = {},
                       bool summary = true);
    // Nothing on stdout: the transfers' logs and reports and the run's lines stay unprinted
    // (the station's --json prints one object per unit instead).
    void setQuiet(bool quiet) { m_quiet = quiet; }

    // Whether two of the setup's ports would put `request` on one CAN bus, which carries one
    // transfer at a time; the usage error is then on stderr and nothing may start.
    static bool sharesCanBus(const CliTransferSetup::Setup &setup, const DownloadRequest &request);
    // 0 when every run succeeded, otherwise the highest single status.
    static int exitStatus(const QList<Outcome> &outcomes);
    // The outcome as CliBatchRunner's summary table takes it: a refused unit is "refused".
    static CliBatchRunner::Result batchResult(const Outcome &outcome);

private:
    struct Job;

    void onBootPrompt(Job *job);
    void askWhenAllWaiting();
    void interruptAll();

    CliTransferSetup::Setup m_setup;
    CliFeedOptions m_feeds;
    ProductionOptions m_options;
    TransferLinks m_links;
    std::vector<std::unique_ptr<Job>> m_jobs;
    CliSharedPrompt m_prompt;
    bool m_several = false;
    bool m_quiet = false;
};
