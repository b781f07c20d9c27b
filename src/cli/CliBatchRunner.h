#pragma once

#include "cli/CliSharedPrompt.h"
#include "cli/CliTransferFeeds.h"
#include "cli/CliTransferSetup.h"
#include "transfer/TransferLinks.h"
#include "transfer/TransferSetup.h"
#include "transfer/TransferRecord.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class TransferSession;

// Runs one transfer per port at the same time, all on the one event loop: each port has its own
// serial component, link, transfer (with its watchdog) and CliTransferRunner, the same
// presentation a single transfer gets, with "[PORT] " before every line. A failure on one port
// ends that transfer only; Ctrl+C is the user break for all. The boot prompt is asked once for
// every device waiting for it. At the end a summary table goes to stdout.
class CliBatchRunner : public QObject
{
    Q_OBJECT
public:
    // Makes the transfer of one port over `link`, with `can` as its CAN factory and `setup` for
    // that port.
    using TransferMaker = std::function<std::unique_ptr<TransferSession>(
        SerialLink &link, const TransferLinks::CanFactory &can, const TransferSetup &setup)>;

    // One port's outcome, as the summary shows it.
    struct Result
    {
        QString port;
        TransferRecord record;
        QString error; // the last error box, for a transfer that ended without a report
    };

    // `feeds` applies to every port: one service record line pair per device, and with --json
    // every event line names its port.
    CliBatchRunner(const CliTransferSetup::Setup &setup, const CliFeedOptions &feeds,
                   const TransferLinks &links = TransferLinks::real());
    ~CliBatchRunner() override;

    // Makes the transfers and, unless two of them would share a CAN bus (a usage error on
    // stderr, and nothing starts), runs them to their end and prints the summary. Returns the
    // exit status of the whole run.
    int run(const TransferMaker &make);

    const QList<Result> &results() const { return m_results; }

    // 0 when every transfer succeeded, otherwise the highest single status: a compare that
    // differs (4) outweighs a refusal (3), which outweighs a failure (2).
    static int exitStatus(const QList<Result> &results);
    static QString summaryTable(const QList<Result> &results);
    // The report's first line; a heading that ends in ':' takes the line after it along.
    static QString reportGist(const Result &result);

private:
    struct Job;

    void onBootPrompt(Job *job);
    void askWhenAllWaiting();
    void interruptAll();

    CliTransferSetup::Setup m_setup;
    CliFeedOptions m_feeds;
    TransferLinks m_links;
    std::vector<std::unique_ptr<Job>> m_jobs;
    CliSharedPrompt m_prompt;
    QList<Result> m_results;
};
