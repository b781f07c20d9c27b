#include "cli/CliTransferFeeds.h"

#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "comm/ResourceIdentity.h"
#include "transfer/LinkTrace.h"
#include "transfer/ServiceRecord.h"
#include "transfer/TransferSession.h"

#include <QFile>

#include <cstdio>

QStringList CliFeedOptions::valueOptions()
{
    return {QStringLiteral("record"), QStringLiteral("log"), QStringLiteral("trace")};
}

QStringList CliFeedOptions::flagOptions()
{
    return {QStringLiteral("no-record"), QStringLiteral("json"), QStringLiteral("quiet|q"),
            QStringLiteral("verbose|v")};
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
    const bool quiet = options.isSet(QStringLiteral("quiet"));
    const bool verbose = options.isSet(QStringLiteral("verbose"));
    if (int(quiet) + int(verbose) + int(result.json) > 1) {
        *error = QStringLiteral("-q, -v and --json exclude each other");
        return false;
    }
    result.verbosity = quiet ? Verbosity::Quiet : verbose ? Verbosity::Verbose : Verbosity::Normal;
    for (const auto &[name, path] : {std::pair {QStringLiteral("log"), &result.logPath},
                                     std::pair {QStringLiteral("trace"), &result.tracePath}}) {
        if (!options.isSet(name))
            continue;
        *path = options.value(name);
        if (path->isEmpty()) {
            *error = QStringLiteral("--%1 needs a file name").arg(name);
            return false;
        }
    }
    *feeds = result;
    return true;
}

bool claimOutput(ResourceIdentity::FileClaims *claims, const QString &role, const QString &path,
                 QString *error)
{
    const QString holder = claims->claim(QStringLiteral("%1 %2").arg(role, path), path);
    if (holder.isEmpty())
        return true;
    *error = QStringLiteral("%1 %2 is %3: an output may not be an input or another output of "
                            "the run")
                 .arg(role, path, holder);
    return false;
}

bool CliFeedOptions::claimFiles(ResourceIdentity::FileClaims *claims, QString *error) const
{
    // The default record always: no output of a run may replace the user's own record.
    const QString role = QStringLiteral("the service record file");
    const QString defaultRecord = ServiceRecord::defaultPath();
    if (!claimOutput(claims, role, defaultRecord, error))
        return false;
    if (!recordPath.isEmpty() && !ResourceIdentity::sameFile(recordPath, defaultRecord)
        && !claimOutput(claims, role, recordPath, error))
        return false;
    if (!logPath.isEmpty() && !claimOutput(claims, QStringLiteral("--log"), logPath, error))
        return false;
    return tracePath.isEmpty() || claimOutput(claims, QStringLiteral("--trace"), tracePath, error);
}

bool CliFeedOptions::openFiles(QString *error)
{
    if (!logPath.isEmpty()) {
        auto file = std::make_shared<QFile>(logPath);
        if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
            *error = QStringLiteral("cannot write --log %1: %2").arg(logPath, file->errorString());
            return false;
        }
        logFile = std::move(file);
    }
    if (!tracePath.isEmpty()) {
        auto opened = std::make_shared<LinkTrace>();
        if (QString why; !opened->open(tracePath, &why)) {
            *error = QStringLiteral("cannot write --trace %1: %2").arg(tracePath, why);
            return false;
        }
        trace = std::move(opened);
    }
    return true;
}

TransferLinks CliFeedOptions::links(const TransferLinks &links) const
{
    return trace ? LinkTrace::tapped(links, trace) : links;
}

namespace {

// What a runner attaches when another stream carries the feeds: nothing.
CliFeedOptions detachedFeeds()
{
    CliFeedOptions none;
    none.record = false;
    none.detached = true;
    return none;
}

} // namespace

CliTransferFeeds::CliTransferFeeds(TransferSession &transfer, const CliFeedOptions &options,
                                   QObject *parent)
    : CliTransferFeeds(options.detached ? detachedFeeds() : options, parent)
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
