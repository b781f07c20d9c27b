#include "cli/CliTransferFeeds.h"

#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "transfer/TransferSession.h"

#include <cstdio>

QStringList CliFeedOptions::valueOptions()
{
    return {QStringLiteral("record")};
}

QStringList CliFeedOptions::flagOptions()
{
    return {QStringLiteral("no-record"), QStringLiteral("json")};
}

bool CliFeedOptions::fromOptions(const CliOptions &options, CliFeedOptions *feeds, QString *error)
{
    CliFeedOptions result;
    result.json = options.isSet(QStringLiteral("json"));
    result.record = !options.isSet(QStringLiteral("no-record"));
    if (options.isSet(QStringLiteral("record"))) {
        if (!result.record) {
            *error = QStringLiteral("--record and --no-record exclude each other");
            return false;
        }
        result.recordPath = options.value(QStringLiteral("record"));
        if (result.recordPath.isEmpty()) {
            *error = QStringLiteral("--record needs a file name");
            return false;
        }
    }
    *feeds = result;
    return true;
}

CliTransferFeeds::CliTransferFeeds(TransferSession &transfer, const CliFeedOptions &options,
                                   QObject *parent)
    : CliTransferFeeds(options.detached ? CliFeedOptions {false, {}, false, true} : options, parent)
{
    connect(&transfer, &TransferSession::event, this, &CliTransferFeeds::handle);
}

CliTransferFeeds::CliTransferFeeds(const CliFeedOptions &options, QObject *parent) : QObject(parent)
{
    if (options.record) {
        m_record = std::make_unique<ServiceRecordListener>(
            options.recordPath.isEmpty() ? ServiceRecordWriter()
                                         : ServiceRecordWriter(options.recordPath));
        connect(m_record.get(), &ServiceRecordListener::recordError, this,
                [](const QString &message) {
                    printErr(QStringLiteral("brasvik-cli: warning: ") + message);
                });
    }
    if (options.json)
        m_json.emplace(stdout);
}

void CliTransferFeeds::handle(const TransferEvent &event)
{
    if (m_record)
        m_record->onEvent(event);
    if (m_json)
        m_json->handle(event);
}

CliTransferFeeds::~CliTransferFeeds() = default;

void CliTransferFeeds::setPort(const QString &port)
{
    if (m_json)
        m_json->setPort(port);
}

QString CliTransferFeeds::recordPath() const
{
    return m_record ? m_record->writer().path() : QString();
}
