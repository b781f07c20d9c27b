#pragma once

#include "BenchEnvironment.h"
#include "comm/KTSerial.h"
#include "support/SimDevice.h"
#include "transfer/KTCanLink.h"
#include "transfer/KTSerialLink.h"
#include "transfer/TransferSession.h"

#include <QElapsedTimer>
#include <QEventLoop>

#include <cstdio>
#include <functional>
#include <memory>
#include <sys/resource.h>

// The peak memory of this process so far.
inline long maxRssKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// One run of the tool against brasvik-sim, timed from the first boot prompt answered to the end.
struct SimRun
{
    bool ok = false; // the run came to its end, whatever its outcome
    double seconds = 0;
    double beforeData = 0; // bootstrap, sector range and erase: up to the data phase
    long peakRssKiB = 0; // at the end, before the device's files are read
    TransferRecord record;
    QList<SimTraceLine> trace; // the device's, after it ended
    QByteArray memory; // the device's after the run

    bool succeeded() const { return ok && record.outcome == TransferOutcome::Success; }
};

// What runs on the device: made on `link` and started; it hands each session it opens to
// `attach` and calls `done` with its record at its end.
using SimRunner = std::function<std::unique_ptr<QObject>(
    SerialLink &link, const std::function<void(TransferSession &)> &attach,
    const std::function<void(const TransferRecord &)> &done)>;

// A runner of the one session that `make` makes on the link.
inline SimRunner sessionRunner(
    const std::function<std::unique_ptr<TransferSession>(SerialLink &link)> &make)
{
    return [make](SerialLink &link, const auto &attach, const auto &done) {
        std::unique_ptr<TransferSession> session = make(link);
        attach(*session);
        QObject::connect(session.get(), &TransferSession::event, session.get(),
                         [done](const TransferEvent &event) {
                             if (event.kind == TransferEvent::Kind::Finished)
                                 done(event.record);
                         });
        session->start();
        return std::unique_ptr<QObject>(std::move(session));
    };
}

// The CAN links of a transfer: the real CAN thread.
inline std::unique_ptr<CanLink> benchCanLink()
{
    return std::make_unique<KTCanLink>();
}

// Runs `runner` against a device started with `options`: COM1 (and the CAN bus, when the device
// hosts one) point at it, the real serial component with `bufferBytes` of receive and send
// buffer (0: its own) carries the line, and every boot prompt is answered at once.
inline SimRun runOnSim(const SimDeviceOptions &options, const SimRunner &runner,
                       int bufferBytes = 0)
{
    SimRun result;
    SimDevice sim(options);
    if (!sim.isReady()) {
        std::fprintf(stderr, "brasvik-sim: %s\n", qPrintable(sim.errorString()));
        return result;
    }
    SettingsStore::overrideComPortDevicePath(0, sim.serialPath());
    if (options.can)
        SettingsStore::overrideCanBus(sim.canBus());
    TKTSerial serial;
    serial.SetPortName(COM1);
    serial.SetFrameParitybit(TParityBit::None);
    if (bufferBytes > 0) {
        serial.SetRxBufSize(bufferBytes);
        serial.SetTxBufSize(bufferBytes);
    }
    serial.SetSyncEventHandling(true);
    KTSerialLink link(serial);
    QEventLoop loop;
    QElapsedTimer clock;
    const auto elapsed = [&clock] { return clock.isValid() ? clock.nsecsElapsed() / 1e9 : 0; };
    const auto attach = [&](TransferSession &session) {
        QObject::connect(&session, &TransferSession::bootPromptRequested, &session,
                         [&clock, &session] {
                             if (!clock.isValid())
                                 clock.start();
                             session.answerBootPrompt(true);
                         });
        QObject::connect(&session, &TransferSession::event, &session,
                         [&](const TransferEvent &event) {
                             if (event.kind == TransferEvent::Kind::Phase
                                 && event.phase == TransferPhase::Data)
                                 result.beforeData = elapsed();
                         });
    };
    const std::unique_ptr<QObject> running
        = runner(link, attach, [&](const TransferRecord &record) {
              result.seconds = elapsed();
              result.peakRssKiB = maxRssKiB();
              result.record = record;
              result.ok = true;
              loop.quit();
          });
    if (!result.ok)
        loop.exec();
    if (options.oneShot)
        sim.waitForFinished(10000);
    sim.stop();
    result.trace = sim.trace();
    result.memory = sim.memory();
    return result;
}
