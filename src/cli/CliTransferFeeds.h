#pragma once

#include "transfer/JsonEventWriter.h"
#include "transfer/ServiceRecordListener.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class CliOptions;
class TransferSession;

// Where a transfer command's run leaves its traces: the service record (--record FILE,
// --no-record) and, with --json, the progress feed on stdout in place of the log text.
struct CliFeedOptions
{
    bool record = true;
    QString recordPath; // empty: the default service record
    bool json = false;
    // The feeds follow another stream than the transfer's own (a production run's, which
    // holds a download's end back for its verify): a runner given these attaches none.
    bool detached = false;

    // The options the transfer commands accept for this, to add to their own.
    static QStringList valueOptions(); // record
    static QStringList flagOptions(); // no-record, json

    // False with a message in `error` for a contradiction (--record with --no-record) or an
    // empty file name.
    [[nodiscard]] static bool fromOptions(const CliOptions &options, CliFeedOptions *feeds,
                                          QString *error);
};

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
