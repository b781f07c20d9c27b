#include "SimRunner.h"

#include "SimCanLink.h"
#include "DeviceContext.h"
#include "SimSerialLink.h"
#include "TargetDevice.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

namespace {

constexpr int TraceFlushMs = 200;
// After a complete transfer a one-shot run waits this long for the tool to close its port.
constexpr int LingerAfterEndMs = 5000;
// The tool's line changes are milliseconds apart at the least.
constexpr int ModemPollMs = 1;

} // namespace

SimRunner::SimRunner(const SimOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_memory(options.model)
{
    m_traceFlush.setInterval(TraceFlushMs);
    connect(&m_traceFlush, &QTimer::timeout, this, [this] { m_trace.flush(); });
    m_lingerAfterEnd.setSingleShot(true);
    m_lingerAfterEnd.setInterval(LingerAfterEndMs);
    connect(&m_lingerAfterEnd, &QTimer::timeout, this, [this] { finish(m_complete ? 0 : 2); });
    m_timeLimit.setSingleShot(true);
    connect(&m_timeLimit, &QTimer::timeout, this, [this] {
        event(QStringLiteral("time limit reached"));
        finish(m_options.oneShot && !m_complete ? 2 : 0);
    });
}

SimRunner::~SimRunner()
{
    // The device model refers to the links only through this object; drop it first.
    m_device.reset();
    m_serial.reset();
    m_can.reset();
}

bool SimRunner::start(QString *error)
{
    if (!m_options.memoryFile.isEmpty() && QFileInfo::exists(m_options.memoryFile)
        && !m_memory.load(m_options.memoryFile, error))
        return false;
    if (!m_options.traceFile.isEmpty() && !m_trace.open(m_options.traceFile, error))
        return false;
    m_device = std::make_unique<TargetDevice>(m_options, m_memory, *this, m_summary);

    if (!m_options.canBus.isEmpty()) {
        SimCanLink::Config config;
        config.bus = m_options.canBus;
        config.clientOnly = m_options.canClient;
        config.paceBitrate = m_options.canPace ? m_options.canBitrate : 0;
        m_can = std::make_unique<SimCanLink>(config);
        if (!m_can->open(error))
            return false;
        connect(m_can.get(), &SimCanLink::received, this,
                [this](quint32 id, const QByteArray &data, SimClock::Micros at) {
                    m_device->canFrame(id, data, at);
                });
        connect(m_can.get(), &SimCanLink::traffic, this,
                [this](bool fromHost, quint32 id, const QByteArray &data, SimClock::Micros at) {
                    m_trace.can(fromHost, id, data, at);
                });
    }
    if (!openSerial(error))
        return false;
    if (m_can)
        announce(QStringLiteral("can"), m_can->busName());
    if (m_options.exitAfterSeconds > 0)
        m_timeLimit.start(m_options.exitAfterSeconds * 1000);
    if (m_trace.isOpen())
        m_traceFlush.start();
    event(QStringLiteral("device %1, identification byte %2, faults: %3")
              .arg(m_options.model == DeviceMemory::Model::Vmc46xx ? QStringLiteral("46xx")
                                                                   : QStringLiteral("4610"))
              .arg(DeviceContext::hexByte(m_options.idByte))
              .arg(m_options.faultSummary()));
    m_device->powerOn();
    watchBootLines();
    announce(QStringLiteral("ready"), QString());
    return true;
}

bool SimRunner::openSerial(QString *error)
{
    SimSerialLink::Config config;
    config.existingPort = m_options.serialPort;
    config.linkPath = m_options.linkPath;
    config.baud = m_options.baud;
    config.hangupAfterRx = m_options.hangupAfterRx;
    config.hangupAfterTx = m_options.hangupAfterTx;
    m_serial = std::make_unique<SimSerialLink>(config);
    if (!m_serial->open(error))
        return false;
    connect(m_serial.get(), &SimSerialLink::received, this, &SimRunner::serialReceived);
    connect(m_serial.get(), &SimSerialLink::traffic, this,
            [this](bool fromHost, const QByteArray &bytes, SimClock::Micros at) {
                m_trace.serial(fromHost, bytes, at);
            });
    connect(m_serial.get(), &SimSerialLink::hostOpened, this, [this] {
        event(QStringLiteral("host opened the port"));
        m_device->lineOpened(SimClock::now());
    });
    connect(m_serial.get(), &SimSerialLink::hostClosed, this, &SimRunner::hostClosed);
    connect(m_serial.get(), &SimSerialLink::hungUp, this, &SimRunner::hungUp);
    announce(QStringLiteral("serial"), m_serial->devicePath());
    if (!m_options.linkPath.isEmpty())
        announce(QStringLiteral("link"), m_options.linkPath);
    return true;
}

void SimRunner::watchBootLines()
{
    if (m_options.bootLines.isEmpty())
        return;
    bool dtr = false;
    bool rts = false;
    if (!m_serial->hostModemLines(&dtr, &rts)) {
        event(QStringLiteral("--boot-lines %1 ignored: %2 has no modem lines (a pseudo-terminal)")
                  .arg(m_options.bootLines, m_serial->devicePath()));
        return;
    }
    QString error;
    m_bootLines = ModemLinePattern::parse(m_options.bootLines, &error);
    m_device->requireBootLines();
    event(QStringLiteral("waiting for DTR/RTS %1 before the boot byte").arg(m_bootLines->text()));
    m_modemPoll.setTimerType(Qt::PreciseTimer);
    m_modemPoll.setInterval(ModemPollMs);
    connect(&m_modemPoll, &QTimer::timeout, this, &SimRunner::pollBootLines, Qt::UniqueConnection);
    m_modemPoll.start();
}

void SimRunner::pollBootLines()
{
    bool dtr = false;
    bool rts = false;
    if (!m_serial || !m_bootLines || !m_serial->hostModemLines(&dtr, &rts))
        return;
    const int lines = (dtr ? 2 : 0) | (rts ? 1 : 0);
    if (lines == m_lastLines)
        return;
    m_lastLines = lines;
    if (m_bootLines->observe(dtr, rts)) {
        event(QStringLiteral("DTR/RTS pattern %1 seen: reset into bootstrap mode")
                  .arg(m_bootLines->text()));
        m_device->bootLinesSeen();
    }
}

void SimRunner::announce(const QString &what, const QString &value)
{
    const QByteArray line = value.isEmpty()
        ? QStringLiteral("brasvik-sim: %1\n").arg(what).toLocal8Bit()
        : QStringLiteral("brasvik-sim: %1 %2\n").arg(what, value).toLocal8Bit();
    fwrite(line.constData(), 1, size_t(line.size()), stdout);
    fflush(stdout);
}

void SimRunner::serialReceived(const QByteArray &bytes, qint64 firstNs, qint64 perByteNs)
{
    for (qsizetype i = 0; i < bytes.size() && m_device; ++i)
        m_device->serialByte(quint8(bytes[i]), (firstNs + i * perByteNs + 999) / 1000);
}

void SimRunner::sendSerial(const QByteArray &bytes, SimClock::Micros at)
{
    if (m_serial)
        m_serial->send(bytes, at);
}

void SimRunner::sendCan(quint32 id, const QByteArray &data, SimClock::Micros at)
{
    if (m_can)
        m_can->send(id, data, at);
    else
        event(QStringLiteral("no CAN bus for message %1").arg(id, 3, 16, QLatin1Char('0')));
}

void SimRunner::event(const QString &text)
{
    const SimClock::Micros now = SimClock::now();
    m_trace.event(text, now);
    if (m_options.verbose) {
        const QByteArray line = QStringLiteral("brasvik-sim [%1 ms] %2\n")
                                    .arg(double(now) / 1000.0, 0, 'f', 3)
                                    .arg(text)
                                    .toLocal8Bit();
        fwrite(line.constData(), 1, size_t(line.size()), stderr);
    }
}

void SimRunner::transferEnded(bool complete, SimClock::Micros)
{
    m_complete = m_complete || complete;
    if (complete && !m_altered && m_options.alterByte >= 0
        && m_summary.result == QLatin1String("download complete")) {
        m_altered = true;
        QByteArray image = m_memory.fileImage();
        image[m_options.alterByte] = char(image.at(m_options.alterByte) ^ 0x01);
        QString error;
        if (m_memory.setFileImage(image, &error)) {
            const QString what = QStringLiteral("byte %1h altered after the download")
                                     .arg(m_options.alterByte, 6, 16, QLatin1Char('0'));
            m_summary.faultsInjected << what;
            event(QStringLiteral("fault: ") + what);
        }
    }
    saveMemory();
    if (m_options.oneShot)
        m_lingerAfterEnd.start();
}

void SimRunner::hostClosed()
{
    event(QStringLiteral("host closed the port"));
    saveMemory();
    if (m_options.oneShot) {
        finish(m_complete ? 0 : 2);
        return;
    }
    // The next transfer starts with the user resetting the device into its bootstrap mode.
    m_device->powerOn();
}

void SimRunner::hungUp(const QString &why)
{
    m_summary.faultsInjected << why;
    event(QStringLiteral("fault: ") + why);
    saveMemory();
    if (m_options.oneShot || !m_options.serialPort.isEmpty()) {
        finish(m_complete ? 0 : 2);
        return;
    }
    // Like a new adapter plugged in: a fresh pseudo-terminal (the link follows it). Not
    // from here: the old link is still inside the call that reported the hang-up.
    m_options.hangupAfterRx = -1;
    m_options.hangupAfterTx = -1;
    QTimer::singleShot(0, this, [this] {
        QString error;
        m_serial.reset();
        if (!openSerial(&error)) {
            fprintf(stderr, "brasvik-sim: %s\n", qPrintable(error));
            finish(2);
            return;
        }
        m_device->powerOn();
    });
}

void SimRunner::swapUnit()
{
    if (m_nextUnit >= m_options.units.size()) {
        event(QStringLiteral("no further unit to swap in"));
        return;
    }
    saveMemory();
    const QString file = m_options.units.at(m_nextUnit++);
    DeviceMemory fresh(m_options.model);
    QString error;
    if (QFileInfo::exists(file) && !fresh.load(file, &error)) {
        fprintf(stderr, "brasvik-sim: %s\n", qPrintable(error));
        return;
    }
    m_memory = fresh;
    m_options.memoryFile = file;
    m_altered = false;
    if (m_device)
        m_device->powerOn();
    event(QStringLiteral("unit swapped: %1").arg(file));
    announce(QStringLiteral("unit"), file);
}

void SimRunner::saveMemory()
{
    if (m_options.memoryFile.isEmpty())
        return;
    QString error;
    if (!m_memory.save(m_options.memoryFile, &error))
        fprintf(stderr, "brasvik-sim: %s\n", qPrintable(error));
}

void SimRunner::finish(int exitCode)
{
    if (m_finished)
        return;
    m_finished = true;
    if (!m_complete && m_summary.result == QLatin1String("no transfer") && m_device)
        m_summary.result = QStringLiteral("incomplete");
    saveMemory();
    event(QStringLiteral("simulator ends, exit code %1").arg(exitCode));
    m_trace.flush();
    for (const QString &line : m_summary.lines())
        announce(QStringLiteral("summary"), line);
    QCoreApplication::exit(exitCode);
}
