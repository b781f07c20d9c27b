#include "BareHost.h"

#include "support/SimWire.h"
#include "support/VirtualCanPeer.h"

#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>
#include <memory>
#include <mutex>

namespace BareHost {

namespace {

constexpr int kSectorCount = 19;
constexpr int kMaxBlock = 32;
constexpr int kAnswerWaitMs = 5000;
constexpr int kEraseWaitMs = 60000;

constexpr quint32 kCommandId = 0x63F;
constexpr quint32 kDownDataIds[4] = {0x23F, 0x33F, 0x43F, 0x53F};
constexpr quint32 kReplyId = 0x5BF;
constexpr quint32 kUpDataIds[4] = {0x1BF, 0x2BF, 0x3BF, 0x4BF};

QByteArray flashFrame(const Block &block)
{
    return SimWire::flashFrame(block.sector, block.start, block.data);
}

// Boot byte, identification, loader and program; true when all four answers are right.
bool boot(SimWire &wire, const QString &loader, const QString &program, QString *error)
{
    const QByteArray l = SimWire::programBytes(loader);
    const QByteArray p = SimWire::programBytes(program);
    if (l.isEmpty() || p.isEmpty()) {
        *error = QStringLiteral("no target program %1 / %2").arg(loader, program);
        return false;
    }
    QByteArray answers;
    wire.write(QByteArray(1, '\0'));
    answers += wire.read(1, kAnswerWaitMs);
    wire.write(l);
    answers += wire.read(1, kAnswerWaitMs);
    wire.write(p);
    answers += wire.read(1, kAnswerWaitMs);
    if (answers.size() != 3 || answers.at(1) != 0x01 || quint8(answers.at(2)) != 0xAA) {
        *error = QStringLiteral("boot answered %1").arg(QString::fromLatin1(answers.toHex()));
        return false;
    }
    return true;
}

QString canRate(int bitrate)
{
    return bitrate == 125000 ? QStringLiteral("125K")
        : bitrate == 250000  ? QStringLiteral("250K")
                             : QStringLiteral("500K");
}

Run finish(Run run, SimDevice &sim, SimWire *wire, const QElapsedTimer &timer)
{
    if (run.ok)
        run.seconds = double(timer.nsecsElapsed()) / 1e9;
    if (wire)
        wire->close(); // the one-shot simulator ends when its port closes
    sim.waitForFinished(10000);
    run.trace = sim.trace();
    return run;
}

// Qt's virtual bus plugin keeps one bus server object per process, in the thread of the
// first device. Next to the tool's CAN library this bare node lives in another thread, and
// the plugin's attempt to host the (already hosted) bus there warns about it.
QtMessageHandler g_previousHandler = nullptr;

void dropForeignServerWarning(QtMsgType type, const QMessageLogContext &context,
                              const QString &text)
{
    if (text.contains(QLatin1String("Parent is VirtualCanServer")))
        return;
    g_previousHandler(type, context, text);
}

// A plain virtual-bus node in the calling thread, driven by its own event loop.
class CanNode
{
public:
    explicit CanNode(const QString &bus)
    {
        static std::once_flag once;
        std::call_once(
            once, [] { g_previousHandler = qInstallMessageHandler(dropForeignServerWarning); });
        m_peer = std::make_unique<VirtualCanPeer>(bus);
    }

    bool isConnected() const { return m_peer->isConnected(); }
    void send(quint32 id, const QByteArray &data) { m_peer->send(QCanBusFrame(id, data)); }

    // Runs the event loop, handing every received frame to onFrame, until onFrame returns
    // false (done or failed) or nothing comes for waitMs.
    void run(const std::function<bool(const QCanBusFrame &)> &onFrame, int waitMs)
    {
        QEventLoop loop;
        QTimer idle;
        idle.setSingleShot(true);
        QObject::connect(&idle, &QTimer::timeout, &loop, &QEventLoop::quit);
        bool going = true;
        // The peer has taken the frames in when this runs (it connected first); those after
        // the one that ends this run wait for the next.
        auto drain = [&] {
            m_pending += m_peer->take();
            while (going && !m_pending.isEmpty()) {
                if (!onFrame(m_pending.takeFirst())) {
                    going = false;
                    loop.quit();
                }
            }
            idle.start(waitMs);
        };
        if (!m_peer->device())
            return;
        QObject::connect(m_peer->device(), &QCanBusDevice::framesReceived, &loop, drain);
        idle.start(waitMs);
        drain();
        if (going)
            loop.exec();
    }

private:
    std::unique_ptr<VirtualCanPeer> m_peer;
    QList<QCanBusFrame> m_pending;
};

} // namespace

int sectorStart(int sector)
{
    static constexpr int small[] = {0x0000, 0x4000, 0x6000, 0x8000, 0x10000};
    if (sector <= 4)
        return small[qMax(0, sector)];
    return (sector - 3) * 0x10000;
}

QList<Block> flashBlocks(const QByteArray &image, int dataEnd)
{
    QList<Block> blocks;
    auto sectorOf = [](int address) {
        int sector = 0;
        while (sector + 1 < kSectorCount && sectorStart(sector + 1) <= address)
            ++sector;
        return sector;
    };
    const int end = qMin<int>(dataEnd, int(image.size()));
    int position = 0;
    while (position < end) {
        Block block;
        int limit = sectorStart(sectorOf(position) + 1);
        while (position < end && position < limit && block.data.size() < kMaxBlock) {
            const char lo = image.at(position);
            const char hi = position + 1 < image.size() ? image.at(position + 1) : char(0xFF);
            const bool erased = quint8(lo) == 0xFF && quint8(hi) == 0xFF;
            if (block.data.isEmpty()) {
                block.start = position;
                block.sector = sectorOf(position);
            }
            position += 2;
            if (erased && block.data.isEmpty()) {
                limit = sectorStart(sectorOf(position) + 1);
                continue;
            }
            if (erased)
                break;
            block.data.append(lo);
            block.data.append(hi);
        }
        if (!block.data.isEmpty())
            blocks.append(block);
    }
    return blocks;
}

qint64 serialLineBytes(const QList<SimTraceLine> &trace)
{
    qint64 bytes = 0;
    for (const SimTraceLine &line : trace) {
        if (!line.can && line.kind != SimTraceLine::Kind::Event)
            bytes += line.bytes.size();
    }
    return bytes;
}

Run serialDownload(const SimDeviceOptions &options, const QByteArray &image, int dataEnd,
                   int maxBlocks)
{
    Run run;
    QList<Block> blocks = flashBlocks(image, dataEnd);
    if (maxBlocks >= 0 && blocks.size() > maxBlocks)
        blocks.resize(maxBlocks);
    SimDevice sim(options);
    QElapsedTimer timer;
    if (!sim.isReady()) {
        run.error = sim.errorString();
        return run;
    }
    SimWire wire(sim.serialPath());
    timer.start();
    if (!boot(wire, QStringLiteral("DLoader.H86"), QStringLiteral("Download.H86"), &run.error))
        return finish(run, sim, &wire, timer);
    // Start and end sector 0: the whole flash. The erase answer repeats the end sector.
    wire.write(QByteArray(1, '\0'));
    const QByteArray startAck = wire.read(1, kAnswerWaitMs);
    wire.write(QByteArray(1, '\0'));
    const QByteArray erased = wire.read(2, kEraseWaitMs);
    if (startAck != QByteArray::fromHex("AA") || erased != QByteArray::fromHex("AA00")) {
        run.error = QStringLiteral("erase answered %1").arg(QString::fromLatin1(erased.toHex()));
        return finish(run, sim, &wire, timer);
    }
    for (const Block &block : std::as_const(blocks)) {
        wire.write(flashFrame(block));
        const QByteArray answer = wire.read(1, kAnswerWaitMs);
        if (answer != QByteArray::fromHex("55")) {
            run.error = QStringLiteral("block at %1 answered %2")
                            .arg(block.start, 6, 16, QLatin1Char('0'))
                            .arg(QString::fromLatin1(answer.toHex()));
            return finish(run, sim, &wire, timer);
        }
    }
    wire.write(QByteArray::fromHex("FF"));
    run.ok = wire.read(1, kAnswerWaitMs) == QByteArray::fromHex("AA");
    if (!run.ok)
        run.error = QStringLiteral("no answer to the end of data");
    return finish(run, sim, &wire, timer);
}

Run serialRetainDownload(const SimDeviceOptions &options, int frames)
{
    Run run;
    SimDevice sim(options);
    QElapsedTimer timer;
    if (!sim.isReady()) {
        run.error = sim.errorString();
        return run;
    }
    SimWire wire(sim.serialPath());
    timer.start();
    if (!boot(wire, QStringLiteral("DLoaderNV.H86"), QStringLiteral("DownloadNV.H86"), &run.error))
        return finish(run, sim, &wire, timer);
    for (int n = 0; n < frames; ++n) {
        wire.write(SimWire::retainFrame(QByteArray(16, char(n))));
        if (wire.read(1, kAnswerWaitMs) != QByteArray::fromHex("55")) {
            run.error = QStringLiteral("retain frame %1 not acknowledged").arg(n);
            return finish(run, sim, &wire, timer);
        }
    }
    wire.write(QByteArray::fromHex("FF"));
    run.ok = wire.read(1, kAnswerWaitMs) == QByteArray::fromHex("AA");
    return finish(run, sim, &wire, timer);
}

Run serialUpload(const SimDeviceOptions &options, int firstSector, int endSector)
{
    Run run;
    SimDevice sim(options);
    QElapsedTimer timer;
    if (!sim.isReady()) {
        run.error = sim.errorString();
        return run;
    }
    SimWire wire(sim.serialPath());
    timer.start();
    if (!boot(wire, QStringLiteral("ULoader.H86"), QStringLiteral("Upload.H86"), &run.error))
        return finish(run, sim, &wire, timer);
    wire.write(QByteArray(1, char(firstSector)));
    QByteArray acks = wire.read(1, kAnswerWaitMs);
    wire.write(QByteArray(1, char(endSector)));
    acks += wire.read(1, kAnswerWaitMs);
    if (acks != QByteArray::fromHex("AAAA")) {
        run.error = QStringLiteral("region answered %1").arg(QString::fromLatin1(acks.toHex()));
        return finish(run, sim, &wire, timer);
    }
    for (;;) {
        wire.write(QByteArray::fromHex("55"));
        const QByteArray first = wire.read(1, kAnswerWaitMs);
        if (first == QByteArray::fromHex("A5")) {
            run.ok = true;
            break;
        }
        const QByteArray rest = wire.read(257, kAnswerWaitMs);
        if (first != QByteArray::fromHex("AA") || rest.size() != 257
            || SimWire::uploadCheck(rest.left(256)) != quint8(rest.at(256))) {
            run.error = QStringLiteral("bad block");
            break;
        }
    }
    return finish(run, sim, &wire, timer);
}

Run canDownload(const SimDeviceOptions &options, const QByteArray &image, int dataEnd,
                int maxBlocks)
{
    Run run;
    QList<Block> blocks = flashBlocks(image, dataEnd);
    if (maxBlocks >= 0 && blocks.size() > maxBlocks)
        blocks.resize(maxBlocks);
    SimDevice sim(options);
    QElapsedTimer timer;
    if (!sim.isReady()) {
        run.error = sim.errorString();
        return run;
    }
    CanNode node(sim.canBus());
    if (!node.isConnected()) {
        run.error = QStringLiteral("no virtual CAN bus at %1").arg(sim.canBus());
        return finish(run, sim, nullptr, timer);
    }
    SimWire wire(sim.serialPath());
    timer.start();
    if (!boot(wire, QStringLiteral("DLoaderCAN.H86"),
              QStringLiteral("DownloadCAN1_%1.H86").arg(canRate(options.canBitrate)), &run.error))
        return finish(run, sim, &wire, timer);

    qsizetype next = 0;
    bool ended = false;
    auto sendNext = [&] {
        const bool end = next == blocks.size();
        const Block block = end ? Block() : blocks.at(next++);
        for (int k = 0; k < 4; ++k) {
            const QByteArray part = block.data.mid(8 * k, 8);
            node.send(kDownDataIds[k], part.isEmpty() ? QByteArray(1, '\0') : part);
        }
        if (end) {
            ended = true;
            node.send(kCommandId, QByteArray(1, '\0'));
            return;
        }
        QByteArray header(1, char(block.data.size()));
        header.append(char(block.sector));
        header.append(char(block.start & 0xFF));
        header.append(char((block.start >> 8) & 0xFF));
        header.append(char((block.start >> 16) & 0xFF));
        node.send(kCommandId, header);
    };
    node.send(kCommandId, QByteArray::fromHex("0013"));
    bool erased = false;
    node.run(
        [&](const QCanBusFrame &frame) {
            if (frame.frameId() != kReplyId || frame.payload().isEmpty())
                return true;
            const quint8 status = quint8(frame.payload().at(0));
            if ((!erased && status == 0x33) || (erased && !ended && status == 0x55)) {
                erased = true;
                sendNext();
                return true;
            }
            run.ok = ended && status == 0xAA;
            if (!run.ok)
                run.error = QStringLiteral("CAN status %1").arg(status, 2, 16, QLatin1Char('0'));
            return false;
        },
        kEraseWaitMs);
    if (!run.ok && run.error.isEmpty())
        run.error = QStringLiteral("CAN download stalled");
    return finish(run, sim, &wire, timer);
}

Run canUpload(const SimDeviceOptions &options, int firstSector, int endSector)
{
    Run run;
    SimDevice sim(options);
    QElapsedTimer timer;
    if (!sim.isReady()) {
        run.error = sim.errorString();
        return run;
    }
    CanNode node(sim.canBus());
    if (!node.isConnected()) {
        run.error = QStringLiteral("no virtual CAN bus at %1").arg(sim.canBus());
        return finish(run, sim, nullptr, timer);
    }
    SimWire wire(sim.serialPath());
    timer.start();
    if (!boot(wire, QStringLiteral("ULoaderCAN.H86"),
              QStringLiteral("UploadCAN1_%1.H86").arg(canRate(options.canBitrate)), &run.error))
        return finish(run, sim, &wire, timer);

    QByteArray region(1, char(firstSector));
    region.append(char(firstSector == endSector ? kSectorCount : endSector));
    node.send(kCommandId, region);
    bool accepted = false;
    int dataFrames = 0;
    bool batchDone = false;
    node.run(
        [&](const QCanBusFrame &frame) {
            const QByteArray payload = frame.payload();
            if (payload.isEmpty())
                return true;
            if (frame.frameId() != kReplyId) {
                for (quint32 id : kUpDataIds) {
                    if (frame.frameId() == id && payload.size() == 8)
                        ++dataFrames;
                }
            } else if (!accepted) {
                accepted = quint8(payload.at(0)) == 0xAA;
                if (!accepted) {
                    run.error = QStringLiteral("region refused");
                    return false;
                }
                node.send(kCommandId, QByteArray::fromHex("55"));
                return true;
            } else if (payload.at(0) == 0x00) {
                run.ok = true;
                return false;
            } else {
                batchDone = quint8(payload.at(0)) == 0x20;
            }
            if (batchDone && dataFrames == 4) {
                batchDone = false;
                dataFrames = 0;
                node.send(kCommandId, QByteArray::fromHex("55"));
            }
            return true;
        },
        kAnswerWaitMs);
    if (!run.ok && run.error.isEmpty())
        run.error = QStringLiteral("CAN upload stalled");
    return finish(run, sim, &wire, timer);
}

} // namespace BareHost
