#include "support/SimDevice.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <csignal>

namespace {

constexpr int StartTimeoutMs = 10000;
constexpr int StopTimeoutMs = 5000;

struct Layout
{
    qsizetype flash;
    qsizetype nvParameters;
    qsizetype nvRam;
};

Layout layoutFor(const QString &device)
{
    if (device == QLatin1String("4610"))
        return {0x50000, 2304, 0x7000};
    return {0x100000, 0, 4096};
}

} // namespace

SimDevice::SimDevice(const SimDeviceOptions &options) : m_options(options)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory");
        return;
    }
    if (!options.initialMemory.isEmpty()) {
        QFile file(memoryFile());
        if (!file.open(QIODevice::WriteOnly) || file.write(options.initialMemory) < 0) {
            m_error = QStringLiteral("cannot write %1").arg(memoryFile());
            return;
        }
    }
    QStringList args {QStringLiteral("--device"),     options.device,
                      QStringLiteral("--id"),         QString::number(options.idByte, 16),
                      QStringLiteral("--memory"),     memoryFile(),
                      QStringLiteral("--trace"),      traceFile(),
                      QStringLiteral("--erase-ms"),   QString::number(options.eraseMs),
                      QStringLiteral("--exit-after"), QString::number(options.exitAfterSeconds)};
    if (options.oneShot)
        args << QStringLiteral("--one-shot");
    if (options.baud > 0)
        args << QStringLiteral("--baud") << QString::number(options.baud);
    if (options.can) {
        args << QStringLiteral("--can") << QStringLiteral("virtualcan:tcp://127.0.0.1:0/can0");
        if (options.canChannel)
            args << QStringLiteral("--can-channel") << QString::number(options.canChannel);
        if (options.canBitrate)
            args << QStringLiteral("--can-bitrate") << QString::number(options.canBitrate);
        if (options.canPace)
            args << QStringLiteral("--can-pace");
    }
    args << options.extraArguments;

    m_process = std::make_unique<QProcess>();
    m_process->setWorkingDirectory(m_dir.path());
    QObject::connect(m_process.get(), &QProcess::readyReadStandardOutput,
                     [this] { collectOutput(); });
    QObject::connect(m_process.get(), &QProcess::readyReadStandardError,
                     [this] { m_stderr += m_process->readAllStandardError(); });
    m_process->start(executable(), args);
    if (!m_process->waitForStarted(StartTimeoutMs)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(executable(), m_process->errorString());
        return;
    }
    const bool settled = QTest::qWaitFor(
        [this] { return m_ready || m_process->state() == QProcess::NotRunning; }, StartTimeoutMs);
    if (!m_ready) {
        if (!settled)
            m_stderr += "(no answer within the start time) ";
        collectOutput();
        m_stderr += m_process->readAllStandardError();
        m_error = QStringLiteral("brasvik-sim did not get ready: %1")
                      .arg(QString::fromLocal8Bit(m_stderr).trimmed());
    }
}

SimDevice::~SimDevice()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(StopTimeoutMs)) {
            m_process->kill();
            m_process->waitForFinished(StopTimeoutMs);
        }
    }
}

void SimDevice::collectOutput()
{
    m_stdout += m_process->readAllStandardOutput();
    // The latest "serial" line wins: after a hang-up the device announces a fresh one.
    for (const QByteArray &line : m_stdout.split('\n')) {
        if (line.startsWith("brasvik-sim: serial "))
            m_serialPath = QString::fromLocal8Bit(line.mid(20).trimmed());
        else if (line.startsWith("brasvik-sim: can "))
            m_canBus = QString::fromLocal8Bit(line.mid(17).trimmed());
        else if (line.trimmed() == "brasvik-sim: ready")
            m_ready = true;
    }
}

bool SimDevice::swapUnit(int msecs)
{
    if (!m_process || m_process->state() != QProcess::Running)
        return false;
    const int before = int(m_stdout.count("brasvik-sim: unit "));
    ::kill(pid_t(m_process->processId()), SIGUSR1);
    return QTest::qWaitFor(
        [this, before] {
            collectOutput();
            return int(m_stdout.count("brasvik-sim: unit ")) > before;
        },
        msecs);
}

bool SimDevice::waitForFinished(int msecs)
{
    if (!m_process)
        return false;
    const bool done
        = QTest::qWaitFor([this] { return m_process->state() == QProcess::NotRunning; }, msecs);
    collectOutput();
    m_stderr += m_process->readAllStandardError();
    return done;
}

bool SimDevice::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

int SimDevice::exitCode() const
{
    if (!m_process || m_process->state() != QProcess::NotRunning)
        return -1;
    return m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
}

void SimDevice::stop()
{
    if (!isRunning())
        return;
    m_process->terminate();
    if (!waitForFinished(StopTimeoutMs)) {
        m_process->kill();
        m_process->waitForFinished(StopTimeoutMs);
    }
}

QString SimDevice::standardOutput() const
{
    return QString::fromLocal8Bit(m_stdout);
}

QString SimDevice::standardError() const
{
    return QString::fromLocal8Bit(m_stderr);
}

QStringList SimDevice::summary() const
{
    QStringList lines;
    for (const QByteArray &line : m_stdout.split('\n')) {
        if (line.startsWith("brasvik-sim: summary "))
            lines << QString::fromLocal8Bit(line.mid(21));
    }
    return lines;
}

QString SimDevice::summaryValue(const QString &key) const
{
    const QString prefix = key + QStringLiteral(": ");
    for (const QString &line : summary()) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size());
    }
    return {};
}

QString SimDevice::memoryFile() const
{
    return m_dir.filePath(QStringLiteral("memory.bin"));
}

QString SimDevice::traceFile() const
{
    return m_dir.filePath(QStringLiteral("trace.txt"));
}

QByteArray SimDevice::memory() const
{
    QFile file(memoryFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray SimDevice::flash() const
{
    return memory().left(layoutFor(m_options.device).flash);
}

QByteArray SimDevice::nvParameters() const
{
    const Layout l = layoutFor(m_options.device);
    return memory().mid(l.flash, l.nvParameters);
}

QByteArray SimDevice::nvRam() const
{
    const Layout l = layoutFor(m_options.device);
    return memory().mid(l.flash + l.nvParameters, l.nvRam);
}

QList<SimTraceLine> SimDevice::parseTrace(const QByteArray &text)
{
    QList<SimTraceLine> lines;
    for (const QByteArray &raw : text.split('\n')) {
        if (raw.isEmpty() || raw.startsWith('#'))
            continue;
        const QList<QByteArray> f = raw.split(' ');
        if (f.size() < 3)
            continue;
        SimTraceLine line;
        line.micros = f[0].toLongLong();
        if (f[1] == "EVT") {
            line.kind = SimTraceLine::Kind::Event;
            line.text = QString::fromUtf8(raw.mid(f[0].size() + 5));
        } else if (f.size() >= 4) {
            line.kind = f[1] == "H>D" ? SimTraceLine::Kind::HostToDevice
                                      : SimTraceLine::Kind::DeviceToHost;
            line.can = f[2] == "CAN";
            if (line.can && f.size() >= 5) {
                line.canId = f[3].toUInt(nullptr, 16);
                line.bytes = f[4] == "-" ? QByteArray() : QByteArray::fromHex(f[4]);
            } else {
                line.bytes = QByteArray::fromHex(f[3]);
            }
        } else {
            continue;
        }
        lines << line;
    }
    return lines;
}

QList<SimTraceLine> SimDevice::trace() const
{
    QFile file(traceFile());
    return file.open(QIODevice::ReadOnly) ? parseTrace(file.readAll()) : QList<SimTraceLine>();
}

QByteArray SimDevice::hostBytes() const
{
    QByteArray out;
    for (const SimTraceLine &line : trace()) {
        if (!line.can && line.kind == SimTraceLine::Kind::HostToDevice)
            out += line.bytes;
    }
    return out;
}

QByteArray SimDevice::deviceBytes() const
{
    QByteArray out;
    for (const SimTraceLine &line : trace()) {
        if (!line.can && line.kind == SimTraceLine::Kind::DeviceToHost)
            out += line.bytes;
    }
    return out;
}

QList<SimTraceLine> SimDevice::canMessages() const
{
    QList<SimTraceLine> out;
    for (const SimTraceLine &line : trace()) {
        if (line.can)
            out << line;
    }
    return out;
}

QStringList SimDevice::events() const
{
    QStringList out;
    for (const SimTraceLine &line : trace()) {
        if (line.kind == SimTraceLine::Kind::Event)
            out << line.text;
    }
    return out;
}

QString SimDevice::executable()
{
    const QString bin = qEnvironmentVariable("BRASVIK_BIN_DIR");
    return QDir(bin.isEmpty() ? QStringLiteral(".") : bin).filePath(QStringLiteral("brasvik-sim"));
}

QString SimDevice::h86Directory()
{
    return QDir(qEnvironmentVariable("BRASVIK_SOURCE_DIR")).filePath(QStringLiteral("sim/H86"));
}
