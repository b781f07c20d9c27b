#pragma once

#include "transfer/JsonEventWriter.h"
#include "transfer/ServiceRecordListener.h"
#include "transfer/TransferLinks.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class CliOptions;
class LinkTrace;
class QFile;
class TransferSession;
namespace ResourceIdentity {
class FileClaims;
}

// Where a transfer command's run leaves its traces: the service record (--record FILE,
// --no-record); with --json, the progress feed on stdout in place of the log text; how much of
// the log the terminal shows (-q, -v); the log appended to a file (--log FILE) and the bytes and
// frames of the links (--trace FILE).
struct CliFeedOptions
{
    enum class Verbosity { Quiet, Normal, Verbose };

    bool record = true;
    QString recordPath; // empty: the default service record
    bool json = false;
    Verbosity verbosity = Verbosity::Normal;
    QString logPath; // --log: empty for none
    QString tracePath; // --trace: empty for none
    // Opened by openFiles(); shared by the transfers of a run over several ports.
    std::shared_ptr<QFile> logFile;
    std::shared_ptr<LinkTrace> trace;
    // The feeds follow another stream than the transfer's own (a production run's, which
    // holds a download's end back for its verify): a runner given these attaches none.
    bool detached = false;

    // The options the transfer commands accept for this, to add to their own.
    static QStringList valueOptions(); // record, log, trace
    static QStringList flagOptions(); // no-record, json, quiet (-q), verbose (-v)

    // False with a message in `error` for a contradiction (--record with --no-record, -q with
    // -v or --json) or an empty file name.
    [[nodiscard]] static bool fromOptions(const CliOptions &options, CliFeedOptions *feeds,
                                          QString *error);

    // Claims, after the run's inputs, the files these feeds write: the service record (the
    // default one always, so that no output of a run replaces it), --log and --trace. False
    // with the reason in `error`.
    [[nodiscard]] bool claimFiles(ResourceIdentity::FileClaims *claims, QString *error) const;
    // Opens --log (to append) and --trace (anew); false with the reason in `error`.
    [[nodiscard]] bool openFiles(QString *error);
    // `links` tapped into the trace when there is one.
    TransferLinks links(const TransferLinks &links) const;
};

// Claims `path` for the output named `role` ("OUTPUT", "--diff-dump") among the files of the run
// in `claims`; false with "ROLE PATH is ..." in `error`.
[[nodiscard]] bool claimOutput(ResourceIdentity::FileClaims *claims, const QString &role,
                               const QString &path, QString *error);

// Attaches the service record and the JSON feed to one transfer, before it starts. A record
// that cannot be written is said once on stderr and changes nothing else: the transfer, its
// output and its exit status stay as they are. A runner over several ports builds one per
// transfer and sets each one's port, so the feed's lines say which transfer they belong to.
class CliTransferFeeds : public QObject
{
    Q_OBJECT
public:
    CliTransferFeeds(TransferSession &transfer, const CliFeedOptions &options,
                     QObject *parent = nullptr);
    // Feeds that follow whatever calls handle().
    explicit CliTransferFeeds(const CliFeedOptions &options, QObject *parent = nullptr);
    ~CliTransferFeeds() override;

    void handle(const TransferEvent &event);

    // Adds "port" to every line of the JSON feed.
    void setPort(const QString &port);
    bool json() const { return m_json.has_value(); }
    // The service record file written, empty with --no-record.
    QString recordPath() const;

private:
    std::unique_ptr<ServiceRecordListener> m_record;
    std::optional<JsonEventWriter> m_json;
};
