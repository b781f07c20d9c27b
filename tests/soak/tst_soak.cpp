#include "base/SettingsStore.h"
#include "comm/KTSerial.h"
#include "core/SectorMap.h"
#include "download/DownloadTransfer.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"
#include "support/TestSetup.h"
#include "support/TransferProbe.h"
#include "transfer/KTCanLink.h"
#include "transfer/KTSerialLink.h"
#include "transfer/TargetFiles.h"
#include "transfer/TransferOutcome.h"
#include "upload/UploadTransfer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTest>

// Many transfers in one process, one after the other and unpaced, against the simulated device:
// downloads, uploads and compares over RS-232 and the virtual CAN bus, with device faults mixed
// in. Each must end as it should, and the process must hold no more descriptors and threads
// afterwards than before: a port, worker thread or bus connection left over per transfer adds up
// in a tool that runs for days, and a transfer that never ends shows up here as a hang.
class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void hundredTransfers();

private:
    TempSettings m_settings;
};

namespace {

constexpr int TransferCount = 100;

// The real clock with the protocol's long waits cut down, so that a device that falls silent
// costs a second or so; the waits of one second and less stay as they are. Only the runs
// with a silent device take it: elsewhere a busy machine could make a short wait run out.
class ShortWaitTimerSource : public TimerSource
{
public:
    static constexpr int Divisor = 4;
    static constexpr int ShortestScaledMs = 2000;

    std::unique_ptr<ClockTimer> createTimer(std::function<void()> onTimeout) override
    {
        return std::make_unique<Timer>(TimerSource::system().createTimer(std::move(onTimeout)));
    }
    qint64 monotonicMs() const override { return TimerSource::system().monotonicMs(); }
    QDateTime now() const override { return TimerSource::system().now(); }

private:
    class Timer : public ClockTimer
    {
    public:
        explicit Timer(std::unique_ptr<ClockTimer> inner) : m_inner(std::move(inner)) { }
        void setInterval(int ms) override
        {
            m_interval = ms;
            m_inner->setInterval(ms >= ShortestScaledMs ? ms / Divisor : ms);
        }
        int interval() const override { return m_interval; }
        void start() override { m_inner->start(); }
        void stop() override { m_inner->stop(); }
        bool isActive() const override { return m_inner->isActive(); }

    private:
        std::unique_ptr<ClockTimer> m_inner;
        int m_interval = 0;
    };
};

enum class Kind { Download, Upload, Compare };

struct Scenario
{
    const char *name;
    Kind kind;
    bool can;
    QStringList faults; // brasvik-sim options
    TransferOutcome outcome;
    int modalResult; // mrOk 1, mrCancel 2, mrAbort 3
    bool dataChecked; // success: the device's or the read data are checked as well
    bool compareEqual = true; // compares: the verdict expected
    bool silent = false; // the device falls silent: the waits are cut short
};

// Uploads and compares read this region: small enough to keep the run short, more than one
// sector so that the sector range is exercised.
constexpr qint32 ReadFirstSector = 1;
constexpr qint32 ReadEndSector = 3;
// Downloads write this much into sector 0 on.
constexpr int DownloadBytes = 0x3000;

const QList<Scenario> &scenarios()
{
    static const QList<Scenario> list = {
        {"serial download", Kind::Download, false, {}, TransferOutcome::Success, 1, true},
        {"serial upload", Kind::Upload, false, {}, TransferOutcome::Success, 1, true},
        {"serial compare", Kind::Compare, false, {}, TransferOutcome::Success, 1, true},
        {"serial download, block refused once", Kind::Download, false,
         {"--refuse-block", "2"}, TransferOutcome::Success, 1, true},
        {"serial download, compare error", Kind::Download, false, {"--compare-error", "3"},
         TransferOutcome::Failed, 2, false},
        {"serial upload, bad check byte", Kind::Upload, false, {"--bad-check", "2"},
         TransferOutcome::Success, 1, true},
        {"serial compare, data differ", Kind::Compare, false, {}, TransferOutcome::Different, 1,
         true, false},
        {"serial download, silent after the erase", Kind::Download, false,
         {"--silent-from", "block:1"}, TransferOutcome::Failed, 2, false, true, true},
        {"serial upload, silent device", Kind::Upload, false, {"--silent-from", "id"},
         TransferOutcome::Failed, 2, false, true, true},
        {"CAN download", Kind::Download, true, {}, TransferOutcome::Success, 1, true},
        {"CAN upload", Kind::Upload, true, {}, TransferOutcome::Success, 1, true},
        {"CAN compare", Kind::Compare, true, {}, TransferOutcome::Success, 1, true},
        {"CAN upload, bad check byte", Kind::Upload, true, {"--bad-check", "3"},
         TransferOutcome::Success, 1, true},
        {"CAN download, block refused", Kind::Download, true, {"--refuse-block", "2"},
         TransferOutcome::Failed, 2, false},
    };
    return list;
}

QByteArray pattern(qsizetype size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 13 + (i >> 9) + seed) & 0xFF);
    return bytes;
}

int countEntries(const char *dir)
{
    return int(QDir(QString::fromLatin1(dir)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                   .size());
}

int openDescriptors()
{
    return countEntries("/proc/self/fd");
}

int threads()
{
    return countEntries("/proc/self/task");
}

// One transfer against a simulated device of its own: true when it ended as its scenario
// expects; otherwise false with the reason in `why`.
class SoakRun
{
public:
    SoakRun(const Scenario &scenario, int index)
        : m_scenario(scenario)
        , m_index(index)
        , m_timers(scenario.silent ? static_cast<TimerSource &>(m_shortWaits)
                                   : TimerSource::system())
    { }

    bool run(QString *why)
    {
        SimDeviceOptions options;
        options.can = m_scenario.can;
        // A quick erase: its answer then often shares a read with the acknowledgement before it.
        options.eraseMs = 5;
        options.extraArguments = m_scenario.faults;
        options.exitAfterSeconds = 60;
        const QByteArray flash = pattern(FlashSize46xx, m_index);
        if (m_scenario.kind != Kind::Download)
            options.initialMemory = flash + QByteArray(4096, '\0');
        SimDevice sim(options);
        if (!sim.isReady()) {
            *why = QStringLiteral("simulator: ") + sim.errorString();
            return false;
        }
        SettingsStore::overrideComPortDevicePath(0, sim.serialPath());
        if (m_scenario.can)
            SettingsStore::overrideCanBus(sim.canBus());

        TKTSerial serial;
        serial.SetPortName(COM1);
        serial.SetFrameParitybit(TParityBit::None);
        serial.SetRxBufSize(4096);
        serial.SetTxBufSize(4096);
        serial.SetSyncEventHandling(true);
        KTSerialLink link(serial);
        const auto canFactory = [] { return std::make_unique<KTCanLink>(); };

        QByteArray downloaded;
        std::unique_ptr<TransferSession> transfer;
        UploadTransfer *upload = nullptr;
        if (m_scenario.kind == Kind::Download) {
            downloaded = pattern(DownloadBytes, m_index + 7);
            DownloadRequest request;
            request.image = downloaded + QByteArray(FlashSize46xx + 8 - DownloadBytes, char(0xFF));
            request.dataEnd = DownloadBytes;
            request.firstSector = 0;
            request.endSector = LastSectorBelow(DownloadBytes) + 1;
            request.deviceType = DeviceKind::Device46xx;
            request.settings.brDefault = br115200;
            request.settings.COMInterface = m_scenario.can ? InterfaceCAN1 : InterfaceRS232;
            request.settings.CANBaudrate = 7;
            transfer = std::make_unique<DownloadTransfer>(link, canFactory, std::move(request),
                                                          setup());
        } else {
            UploadSetup setup;
            setup.deviceType = DeviceKind::Device46xx;
            setup.FirstSector = ReadFirstSector;
            setup.EndSector = ReadEndSector;
            setup.UploadChoiceText = QStringLiteral("Sectors");
            setup.comInterface = m_scenario.can ? InterfaceCAN1 : InterfaceRS232;
            setup.baudrateOrdinal = br115200;
            setup.can.bitrateCode = 7;
            if (m_scenario.kind == Kind::Compare) {
                setup.CompareMode = true;
                setup.compareImage = flash + QByteArray(8, '\0');
                if (!m_scenario.compareEqual) {
                    const qint32 at = SectorStart(ReadEndSector) - 17;
                    setup.compareImage[at] = char(~setup.compareImage[at]);
                }
            }
            auto owned = std::make_unique<UploadTransfer>(setup, link, canFactory, this->setup());
            upload = owned.get();
            transfer = std::move(owned);
        }
        if (transfer->usesCan() != m_scenario.can) {
            *why = QStringLiteral("the transfer chose the wrong link");
            return false;
        }

        auto probe = std::make_unique<TransferProbe>(*transfer, TransferProbe::BootPrompt::Confirm);
        const QStringList &log = probe->logs;
        if (!probe->run(30000)) {
            // What the transfer and the device were doing tells a lost answer from a stalled
            // line or a watchdog that was never armed.
            *why = QStringLiteral("no end after 30 s; watchdog %1; log: %2; device: %3")
                       .arg(transfer->watchdogActive() ? QStringLiteral("armed")
                                                       : QStringLiteral("not armed"),
                            log.mid(log.size() - 4).join(QStringLiteral(" | ")),
                            sim.events().mid(sim.events().size() - 6).join(QStringLiteral(" | ")));
            return false;
        }

        const TransferRecord record = probe->result();
        QString problem;
        if (record.outcome != m_scenario.outcome
            || record.modalResult != m_scenario.modalResult) {
            problem = QStringLiteral("ended %1 (modal result %2)")
                          .arg(TransferRecord::outcomeName(record.outcome))
                          .arg(record.modalResult);
        } else if (m_scenario.kind == Kind::Compare
                   && (!record.compared || record.compareEqual != m_scenario.compareEqual)) {
            problem = QStringLiteral("compare verdict %1").arg(record.compareEqual);
        } else if (m_scenario.dataChecked && m_scenario.kind == Kind::Upload) {
            const qint32 start = SectorStart(ReadFirstSector);
            const qint32 end = SectorStart(ReadEndSector);
            if (upload->uploadData().mid(start, end - start) != flash.mid(start, end - start))
                problem = QStringLiteral("the data read differ from the device's");
        }
        const bool portClosed = !serial.Active() && !serial.HasWorker();
        transfer.reset();
        probe.reset();
        if (problem.isEmpty() && !portClosed)
            problem = QStringLiteral("the port stayed open");
        if (!sim.waitForFinished(10000) && problem.isEmpty())
            problem = QStringLiteral("the device did not see the port close");
        if (problem.isEmpty() && m_scenario.dataChecked && m_scenario.kind == Kind::Download
            && sim.flash().left(DownloadBytes) != downloaded)
            problem = QStringLiteral("the device holds other data");
        if (!problem.isEmpty()) {
            *why = problem + QStringLiteral("; report: ") + record.reportText;
            return false;
        }
        return true;
    }

private:
    TransferSetup setup() const
    {
        return testSetup(SimDevice::h86Directory(), m_timers, SettingsStore::comPortDevicePath(0),
                         SettingsStore::canBus());
    }

    const Scenario &m_scenario;
    int m_index;
    ShortWaitTimerSource m_shortWaits;
    TimerSource &m_timers;
};

} // namespace

void TestSoak::initTestCase()
{
    QVERIFY(QFileInfo::exists(SimDevice::executable()));
    TargetFiles::setDirectory(SimDevice::h86Directory());
}

void TestSoak::cleanup()
{
    SettingsStore::clearOverrides();
}

void TestSoak::hundredTransfers()
{
    QString why;
    // The first serial and CAN transfers start what lives for the whole process (the event
    // dispatcher's helpers, the bus plugin); the counts start after them.
    for (int i : {0, 10}) {
        QVERIFY2(SoakRun(scenarios().at(i), 0).run(&why),
                 qPrintable(QStringLiteral("warm-up %1: %2").arg(scenarios().at(i).name, why)));
    }
    const int fdsBefore = openDescriptors();
    const int threadsBefore = threads();

    QElapsedTimer clock;
    clock.start();
    QStringList failures;
    for (int i = 0; i < TransferCount; ++i) {
        const Scenario &scenario = scenarios().at(i % scenarios().size());
        if (!SoakRun(scenario, i + 1).run(&why))
            failures << QStringLiteral("#%1 %2: %3").arg(i + 1).arg(scenario.name, why);
    }
    qInfo("%d transfers in %.1f s", TransferCount, clock.elapsed() / 1000.0);
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join(u'\n')));

    // Worker threads may take a moment to be gone after their last signal.
    QTRY_COMPARE_WITH_TIMEOUT(threads(), threadsBefore, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), fdsBefore, 5000);
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
