#include "cli/CliTransferArgs.h"
#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "cli/CliProductionRunner.h"
#include "cli/CliSignals.h"
#include "cli/CliTransferSetup.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

// The unit IDs of one round, read from stdin a line per port while the event loop runs, so that
// Ctrl+C ends the wait. A scanner types the ID and Enter.
class UnitReader : public QObject
{
public:
    enum class Status { Round, EndOfInput, Interrupted };

    // Reads a line per port, asking for each on stderr.
    Status read(const QStringList &ports, QStringList *units)
    {
        units->clear();
        for (const QString &port : ports) {
            QString line;
            for (;;) {
                if (m_interrupted)
                    return Status::Interrupted;
                printErr(port.isEmpty() ? QStringLiteral("Unit ID (Enter: none, Ctrl+D: end):")
                                        : QStringLiteral("Unit ID on %1 (Enter: none, Ctrl+D: "
                                                         "end):")
                                              .arg(port));
                const Status status = nextLine(&line);
                if (status != Status::Round)
                    return status;
                if (line.isEmpty() || CliTransferSetup::unitIdValid(line))
                    break;
                printErr(QStringLiteral("brasvik-cli: ") + CliTransferSetup::unitIdRule()
                         + QStringLiteral("; scan it again"));
            }
            units->append(line);
        }
        return Status::Round;
    }

    bool interrupted() const { return m_interrupted; }

    void interrupt()
    {
        m_interrupted = true;
        if (m_loop)
            m_loop->quit();
    }

private:
    Status nextLine(QString *line)
    {
        for (;;) {
            const qsizetype end = m_buffer.indexOf('\n');
            if (end >= 0) {
                *line = QString::fromUtf8(m_buffer.left(end)).remove(u'\r').trimmed();
                m_buffer.remove(0, end + 1);
                return Status::Round;
            }
            if (m_ended)
                return Status::EndOfInput;
            QEventLoop loop;
            m_loop = &loop;
            QSocketNotifier notifier(STDIN_FILENO, QSocketNotifier::Read);
            connect(&notifier, &QSocketNotifier::activated, &loop, [this, &loop] {
                char chunk[512];
                const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
                if (n <= 0)
                    m_ended = true;
                else
                    m_buffer.append(chunk, n);
                loop.quit();
            });
            loop.exec();
            m_loop = nullptr;
            if (m_interrupted)
                return Status::Interrupted;
            if (m_ended && !m_buffer.contains('\n'))
                return Status::EndOfInput;
        }
    }

    QByteArray m_buffer;
    QEventLoop *m_loop = nullptr;
    bool m_ended = false;
    bool m_interrupted = false;
};

QString minutesText(qint64 ms)
{
    const qint64 s = (ms + 500) / 1000;
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

int runStation(const QStringList &args)
{
    CliTransferArgs parsed({QStringLiteral("erase"), QStringLiteral("retries")}, {});
    if (QString error; !parsed.parse(args, &error))
        return usageError(error);
    const CliOptions &options = parsed.options;
    CliFeedOptions &feeds = parsed.feeds;
    if (options.positional().size() != 1)
        return usageError(QStringLiteral("station needs exactly one IMAGE"));
    if (!options.isSet(QStringLiteral("port")))
        return usageError(QStringLiteral("station needs --port for each port of the fixture"));
    if (options.isSet(QStringLiteral("unit")))
        return usageError(QStringLiteral("station reads the unit IDs from standard input, not "
                                         "from --unit"));
    ProductionOptions production;
    if (QString error; !productionOptions(options, &production, &error))
        return usageError(error);
    production.verify = true;

    DownloadRequest request;
    CliTransferSetup::Setup setup;
    if (!loadDownloadRequest(options, &request, &setup))
        return ExitUsage;
    if (QString why; !DownloadTransfer::canResumeAt(request, request.firstSector, &why))
        return usageError(readBackRefusal(why));
    if (CliProductionRunner::sharesCanBus(setup, request))
        return ExitUsage;

    // The JSON objects are the station's own; the transfers' feed would mix with them.
    const bool json = feeds.json;
    feeds.json = false;
    QStringList ports;
    for (const CliTransferSetup::PortChoice &port : std::as_const(setup.ports))
        ports << port.label;
    if (ports.isEmpty())
        ports << options.value(QStringLiteral("port"));

    UnitReader reader;
    const std::shared_ptr<CliSignals> breaks = CliSignals::acquire();
    QObject::connect(breaks.get(), &CliSignals::interrupted, &reader,
                     [&reader] { reader.interrupt(); });

    int passed = 0;
    int failed = 0;
    qint64 totalMs = 0;
    for (;;) {
        QStringList units;
        if (reader.read(setup.ports.isEmpty() ? QStringList {QString()} : ports, &units)
            != UnitReader::Status::Round)
            break;
        // "-" leaves a port out of this round: no unit in its nest.
        CliTransferSetup::Setup round = setup;
        QStringList roundPorts;
        QStringList roundUnits;
        round.ports.clear();
        for (qsizetype i = 0; i < units.size(); ++i) {
            if (units.at(i) == QLatin1String("-"))
                continue;
            if (!setup.ports.isEmpty())
                round.ports.append(setup.ports.at(i));
            roundPorts << ports.value(i);
            roundUnits << units.at(i);
        }
        if (roundUnits.isEmpty())
            continue;
        if (passed + failed > 0) {
            // The last round closed these ports a moment ago: the devices get their pause.
            QEventLoop pause;
            QTimer::singleShot(ProductionRun::ReentryPauseMs, &pause, &QEventLoop::quit);
            pause.exec();
        }
        CliProductionRunner runner(round, feeds, production);
        runner.setQuiet(json);
        const QList<CliProductionRunner::Outcome> outcomes = runner.run(request, roundUnits, false);
        for (qsizetype i = 0; i < outcomes.size(); ++i) {
            const CliProductionRunner::Outcome &o = outcomes.at(i);
            const bool pass = o.result.exitStatus == ExitSuccess;
            pass ? ++passed : ++failed;
            totalMs += o.elapsedMs;
            const QString port = roundPorts.value(i);
            const QString gist = CliBatchRunner::reportGist(CliProductionRunner::batchResult(o));
            if (json) {
                QJsonObject object {
                    {QStringLiteral("port"), port},
                    {QStringLiteral("unit"), o.unitId},
                    {QStringLiteral("result"),
                     pass ? QStringLiteral("pass") : QStringLiteral("fail")},
                    {QStringLiteral("exit_status"), o.result.exitStatus},
                    {QStringLiteral("seconds"), double(o.elapsedMs) / 1000.0},
                    {QStringLiteral("tries"), o.result.tries},
                    {QStringLiteral("report"), gist},
                    {QStringLiteral("id"), o.result.record.id},
                };
                printOut(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
            } else {
                printOut(QStringLiteral("%1  %2  unit %3  %4%5")
                             .arg(pass ? QStringLiteral("######## PASS ########")
                                       : QStringLiteral("######## FAIL ########"),
                                  port, o.unitId.isEmpty() ? QStringLiteral("-") : o.unitId,
                                  minutesText(o.elapsedMs),
                                  pass ? QString() : QStringLiteral("  ") + gist));
            }
        }
        std::fflush(stdout);
        if (reader.interrupted())
            break; // Ctrl+C while the units ran ends the loop as well
    }

    const int units = passed + failed;
    const QString summary
        = QStringLiteral("Units: %1 passed, %2 failed; mean time per unit %3")
              .arg(passed)
              .arg(failed)
              .arg(units > 0 ? minutesText(totalMs / units) : QStringLiteral("-"));
    if (json) {
        printErr(summary);
    } else {
        printOut(QString());
        printOut(summary);
    }
    std::fflush(stdout);
    return failed > 0 ? ExitFailed : ExitSuccess;
}
