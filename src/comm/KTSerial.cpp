#include "comm/KTSerial.h"

#include "comm/KTPort32.h"
#include "comm/KTSerialThread.h"
#include "comm/SerialBackend.h"
#include "comm/SerialHandover.h"

#include <QAbstractEventDispatcher>
#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QLoggingCategory>

#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

Q_DECLARE_LOGGING_CATEGORY(lcSerialWorker)

namespace {

constexpr quint16 kUartBases[4] = {0x3F8, 0x2F8, 0x3E8, 0x2E8};
// The UART's transmitter drains within a few character times; never wait longer than this.
constexpr int kTransmitterDrainMs = 100;

int niceFor(QThread::Priority priority)
{
    switch (priority) {
    case QThread::IdlePriority:
        return 19;
    case QThread::LowestPriority:
        return 10;
    case QThread::LowPriority:
        return 5;
    case QThread::HighPriority:
        return -5;
    case QThread::HighestPriority:
        return -10;
    case QThread::TimeCriticalPriority:
        return -15;
    default:
        return 0;
    }
}

// Keeps errno across cleanup, so the exception carries the failure's own text.
[[noreturn]] void raiseInitError()
{
    throw ECommInitError(SystemErrorText());
}

// The open ports by Handle, for the ClearCommError that a handler calls with the Handle.
std::mutex openPortsMutex;
std::map<int, TKTSerial *> &openPorts()
{
    static std::map<int, TKTSerial *> ports;
    return ports;
}

} // namespace

bool ClearCommError(int Handle, quint32 *Errors, TComStat *Stat)
{
    std::lock_guard lock(openPortsMutex);
    const auto it = openPorts().find(Handle);
    if (it == openPorts().end()) {
        errno = EBADF;
        return false;
    }
    return it->second->ClearCommError(Errors, Stat);
}

void TKTSerial::DeleteLater::operator()(QObject *object) const
{
    object->deleteLater();
}

TKTSerial::TKTSerial(QObject *owner) : TKTSerial(SerialBackend::createDefault(), owner) { }

TKTSerial::TKTSerial(std::unique_ptr<SerialBackend> backend, QObject *owner)
    : QObject(owner), m_backend(std::move(backend))
{
    Q_ASSERT(m_backend);
}

TKTSerial::~TKTSerial()
{
    JoinRetiredWorker();
    m_destroying = true;
    try {
        Close();
    } catch (const std::exception &) {
        // A descriptor that cannot be closed is gone all the same.
    }
}

void TKTSerial::SetActive(bool value)
{
    if (value)
        Open();
    else
        Close();
}

void TKTSerial::Open()
{
    if (m_active)
        return;
    JoinRetiredWorker();
    const bool vic = m_vicPortAccess;
    if (vic)
        OpenPortDriver();
    m_uartBase = m_port < 4 ? kUartBases[m_port] : quint16(0x3F8);

    if (!m_backend->open(m_devicePath)) {
        const int error = errno;
        if (vic)
            ClosePortDriver();
        errno = error;
        throw ECommHandleError(SystemErrorText());
    }
    m_handle = m_backend->handle();
    m_active = true;
    {
        std::lock_guard lock(m_rxMutex);
        m_rx.clear();
    }
    m_lineErrors.reset(*m_backend);
    {
        std::lock_guard lock(openPortsMutex);
        openPorts()[m_handle] = this;
    }
    qCDebug(lcSerialWorker) << "opened" << CommPortDeviceName(m_port) << "as handle" << m_handle;

    try {
        // The driver's queues have a fixed size here; RxBufSize bounds how far the worker reads
        // ahead of the handlers.
        ApplyLine();
        ApplyTimeouts();
        quint32 mask = 0;
        if (OnError)
            mask |= EV_ERR;
        if (OnRxChar)
            mask |= EV_RXCHAR;
        if (OnTxEmpty)
            mask |= EV_TXEMPTY;
        if (mask)
            StartWorker(mask);
        if (!m_destroying)
            OnActivate(this);
    } catch (...) {
        const int error = errno;
        try {
            Close();
        } catch (const std::exception &) { }
        errno = error;
        throw;
    }
}

void TKTSerial::StartWorker(quint32 mask)
{
    std::shared_ptr<SerialHandover> handover = SerialHandover::create();
    if (!handover)
        raiseInitError();
    m_worker = TKTSerialThread::create(this, m_backend, handover, mask, BaudrateValue(m_baudrate));
    m_rxDelivered = (mask & EV_RXCHAR) != 0;
    m_errorsWatched = (mask & EV_ERR) != 0;
    m_handoverWatcher.reset(handover->watch(this, [this] { RunPendingDispatch(); }));
    const int readable = m_backend->readableHandle();
    if ((mask & EV_RXCHAR) && SyncEventHandling() && readable >= 0
        && QThread::currentThread() == thread() && QAbstractEventDispatcher::instance()) {
        m_worker->readsElsewhere = true;
        m_readsHere = true;
        m_readNotifier.reset(new QSocketNotifier(readable, QSocketNotifier::Read));
        connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &TKTSerial::ReadHere);
    }
    TKTSerialThread::run(m_worker, niceFor(m_threadPriority));
}

void TKTSerial::StopWorker()
{
    if (m_handoverWatcher) {
        // Possibly inside its own activation: freed once that returns, in its own thread.
        disconnect(m_handoverWatcher.get(), nullptr, this, nullptr);
        m_handoverWatcher.reset();
    }
    if (m_readNotifier) {
        // Before the port's descriptor closes, so that the event loop no longer watches it.
        if (QThread::currentThread() == m_readNotifier->thread())
            m_readNotifier->setEnabled(false);
        disconnect(m_readNotifier.get(), nullptr, this, nullptr);
        m_readNotifier.reset();
    }
    m_readsHere = false;
    m_rxDelivered = false;
    m_errorsWatched = false;
    m_rxStalled = false;
    std::shared_ptr<SerialWorkerState> worker = std::move(m_worker);
    m_worker.reset();
    if (!worker)
        return;
    {
        std::lock_guard lock(worker->mutex);
        worker->terminate = true;
    }
    worker->wake();
    if (worker->workerId.load() == std::this_thread::get_id()) {
        // Closed from a handler running on the worker itself: it sees the flag when the
        // handler returns and ends without touching the port again.
        m_retiredWorker = std::move(worker);
    } else if (worker->thread.joinable()) {
        worker->thread.join();
    }
}

void TKTSerial::JoinRetiredWorker()
{
    std::shared_ptr<SerialWorkerState> worker = std::move(m_retiredWorker);
    m_retiredWorker.reset();
    if (!worker || !worker->thread.joinable())
        return;
    if (worker->workerId.load() == std::this_thread::get_id())
        worker->thread.detach(); // destroyed from its own handler: it touches nothing after
    else
        worker->thread.join();
}

void TKTSerial::Close()
{
    if (!m_active)
        return;
    StopWorker();
    qCDebug(lcSerialWorker) << "closing" << CommPortDeviceName(m_port) << "handle" << m_handle;
    {
        std::lock_guard lock(openPortsMutex);
        openPorts().erase(m_handle);
    }
    const bool closed = m_backend->close();
    const int error = errno;
    {
        std::lock_guard lock(m_rxMutex);
        m_rx.clear();
    }
    m_handle = -1;
    m_active = false;
    if (m_vicPortAccess)
        ClosePortDriver();
    if (!closed) {
        errno = error;
        throw ECommHandleError(SystemErrorText());
    }
    if (!m_destroying)
        OnDeactivate(this);
}

bool TKTSerial::HasWorker() const
{
    return m_worker != nullptr;
}

void TKTSerial::ApplyLine()
{
    SerialBackend::LineSettings line;
    line.bitsPerSecond = BaudrateValue(m_baudrate);
    line.dataBits = DataBitLineValue(m_dataBits);
    line.parity = ParityLineValue(m_parity);
    line.stopBits = StopBitLineValue(m_stopBits);
    if (!m_backend->configure(line))
        raiseInitError();
}

void TKTSerial::ApplyTimeouts()
{
    if (!m_active || (m_rxTimeOut <= 0 && m_txTimeOut <= 0))
        return;
    const quint32 perChar = quint32(qMax(1, 10000 / BaudrateValue(m_baudrate)));
    TCommTimeouts t;
    if (m_rxTimeOut > 0) {
        t.ReadIntervalTimeout = quint32(m_rxTimeOut);
        t.ReadTotalTimeoutMultiplier = perChar;
        t.ReadTotalTimeoutConstant = quint32(m_rxTimeOut);
    }
    if (m_txTimeOut > 0) {
        t.WriteTotalTimeoutMultiplier = perChar;
        t.WriteTotalTimeoutConstant = quint32(m_txTimeOut);
    }
    // Reads and writes never block here, so the values have nothing to bound: kept only.
    m_timeouts = t;
}

void TKTSerial::SetBaudrate(TBaudrate value)
{
    m_baudrate = value;
    if (m_worker)
        m_worker->bitRate = BaudrateValue(value);
    if (m_active)
        ApplyLine();
}

void TKTSerial::SetFrameDatabits(TDataBit value)
{
    m_dataBits = value;
    if (m_active)
        ApplyLine();
}

void TKTSerial::SetFrameParitybit(TParityBit value)
{
    m_parity = value;
    if (m_active)
        ApplyLine();
}

void TKTSerial::SetFrameStopbits(TStopBit value)
{
    m_stopBits = value;
    if (m_active)
        ApplyLine();
}

void TKTSerial::RaiseRefusal(const char *what, const char *action) const
{
    throw ECommInitError(CommPortDisplayName(m_port) + QLatin1String(what)
                         + QLatin1String("\r\n\r\n") + QLatin1String(action));
}

void TKTSerial::SetPortName(TPort value)
{
    if (m_active)
        RaiseRefusal(" is active!", "Cannot change port!");
    if (value != m_port)
        m_devicePath.clear();
    m_port = value;
    if (value < 4)
        m_uartBase = kUartBases[value];
    else
        m_vicPortAccess = false;
}

void TKTSerial::SetVicPortAccess(bool value)
{
    if (m_active)
        RaiseRefusal(" is active!", "Cannot change VicPort access!");
    if (value && m_port >= 4)
        RaiseRefusal(" is selected!", "Cannot enable the VicPort access!");
    m_vicPortAccess = value;
}

void TKTSerial::SetRxBufSize(int value)
{
    m_rxBufSize = qMax(16, value);
    // A reader that waits for room may have it now.
    ResumeReading();
}

void TKTSerial::SetTxBufSize(int value)
{
    m_txBufSize = qMax(16, value);
}

void TKTSerial::SetRxTimeOut(int value)
{
    m_rxTimeOut = qMax(0, value);
    ApplyTimeouts();
}

void TKTSerial::SetTxTimeOut(int value)
{
    m_txTimeOut = qMax(0, value);
    ApplyTimeouts();
}

void TKTSerial::SetSyncEventHandling(bool value)
{
    m_syncEventHandling = value;
}

void TKTSerial::SetThreadPriority(QThread::Priority value)
{
    m_threadPriority = value;
}

void TKTSerial::Assign(const TKTSerial &Source)
{
    if (m_active || &Source == this)
        return;
    SetPortName(Source.PortName());
    SetDevicePath(Source.DevicePath());
    SetBaudrate(Source.Baudrate());
    SetFrameDatabits(Source.FrameDatabits());
    SetFrameParitybit(Source.FrameParitybit());
    SetFrameStopbits(Source.FrameStopbits());
    SetRxBufSize(Source.RxBufSize());
    SetRxTimeOut(Source.RxTimeOut());
    SetSyncEventHandling(Source.SyncEventHandling());
    SetThreadPriority(Source.ThreadPriority());
    SetTxBufSize(Source.TxBufSize());
    SetTxTimeOut(Source.TxTimeOut());
}

bool TKTSerial::ClearCommError(quint32 *Errors, TComStat *Stat)
{
    if (!m_active) {
        errno = EBADF;
        return false;
    }
    quint32 flags = m_lineErrors.take(*m_backend);
    const int in = m_backend->inputQueue();
    if (in < 0 && errno != ENOTTY && errno != EINVAL)
        flags |= CE_IOE;
    const int out = m_backend->outputQueue();
    TComStat stat;
    {
        std::lock_guard lock(m_rxMutex);
        stat.cbInQue = quint32(m_rx.size() + qMax(0, in));
    }
    stat.cbOutQue = quint32(qMax(0, out));
    if (Errors)
        *Errors = flags;
    if (Stat)
        *Stat = stat;
    return true;
}

quint32 TKTSerial::TakeDeliveredErrors()
{
    // The worker looks at the counters whenever it wakes, so what it has seen is all there is
    // to know without asking the driver once more.
    return m_errorsWatched ? m_lineErrors.takeSeen() : m_lineErrors.take(*m_backend);
}

quint32 TKTSerial::InputCount()
{
    if (!m_active)
        return 0;
    if (m_rxDelivered) {
        if (TakeDeliveredErrors())
            return 0;
        std::lock_guard lock(m_rxMutex);
        return quint32(m_rx.size());
    }
    quint32 errors = 0;
    TComStat stat;
    if (!ClearCommError(&errors, &stat) || errors)
        return 0;
    return stat.cbInQue;
}

quint32 TKTSerial::Read(void *Buffer, quint32 Count)
{
    if (!m_active || !Buffer)
        return 0;
    if (m_rxDelivered) {
        if (TakeDeliveredErrors() || Count == 0)
            return 0;
        quint32 n = 0;
        {
            std::lock_guard lock(m_rxMutex);
            n = quint32(qMin(qsizetype(Count), m_rx.size()));
            std::memcpy(Buffer, m_rx.constData(), n);
            m_rx.remove(0, n);
        }
        if (n)
            ResumeReading();
        return n;
    }
    const quint32 n = qMin(Count, InputCount());
    if (n == 0)
        return 0;
    const qint64 got = m_backend->read(static_cast<char *>(Buffer), n);
    if (got < 0)
        m_lineErrors.raise(CE_IOE);
    return got > 0 ? quint32(got) : 0;
}

bool TKTSerial::HasDeliveredBytes(const SerialWorkerState *worker)
{
    // Handed over without waiting, a read can travel with the event before it: its bytes have
    // been taken already and the later event has nothing to tell.
    if (!worker || !m_rxDelivered || !SyncEventHandling())
        return true;
    std::lock_guard lock(m_rxMutex);
    return !m_rx.isEmpty();
}

qsizetype TKTSerial::ReceiveRoom()
{
    std::lock_guard lock(m_rxMutex);
    return qMax(qsizetype(0), qsizetype(m_rxBufSize.load()) - m_rx.size());
}

bool TKTSerial::Receive(const char *data, qsizetype count, quint32 discards)
{
    std::lock_guard lock(m_rxMutex);
    if (discards != m_rxDiscards.load())
        return false;
    m_rx.append(data, count);
    return true;
}

bool TKTSerial::DiscardInput()
{
    if (!m_active) {
        errno = EBADF;
        return false;
    }
    bool dropped = false;
    {
        // Under the buffer's lock, so that a read the worker has in hand cannot land after it.
        std::lock_guard lock(m_rxMutex);
        ++m_rxDiscards;
        dropped = m_backend->discardInput();
        m_rx.clear();
    }
    ResumeReading();
    return dropped;
}

SerialBackend::ModemResult TKTSerial::SetModemLine(SerialBackend::ModemLine Line, bool On)
{
    if (!m_active) {
        errno = EBADF;
        return SerialBackend::ModemResult::Failed;
    }
    return m_backend->setModemLine(Line, On);
}

quint32 TKTSerial::Write(const void *Buffer, quint32 Count)
{
    if (!m_active || !Buffer || Count == 0)
        return 0;
    if (PortDriverEnabled && m_vicPortAccess) {
        // RS-485: line driver to sending, DTR off.
        VicPortWrite(m_uartBase + 7, 1);
        VicPortWrite(m_uartBase + 4, VicPortRead(m_uartBase + 4) & ~quint8(0x01));
    }
    const char *data = static_cast<const char *>(Buffer);
    SerialWorkerState *worker = m_worker.get();
    if (!worker) {
        // Nobody waits for transmit-empty: take what the driver accepts now.
        const qint64 n = m_backend->write(data, Count);
        if (n < 0)
            m_lineErrors.raise(CE_IOE);
        return n > 0 ? quint32(n) : 0;
    }
    quint32 written = 0;
    {
        std::lock_guard lock(worker->txMutex);
        if (worker->txPending.isEmpty()) {
            const qint64 n = m_backend->write(data, Count);
            if (n < 0) {
                m_lineErrors.raise(CE_IOE);
                return 0;
            }
            written = quint32(n);
        }
        // The rest is sent by the worker as the driver makes room; the caller's buffer is
        // free at once.
        if (written < Count)
            worker->txPending.append(data + written, qsizetype(Count - written));
        worker->txAwaitingEmpty = true;
    }
    // A worker in the middle of a dispatch looks at the transmit queue when it is done.
    if (!worker->dispatching)
        worker->wake();
    return written == Count ? Count : 0;
}

void TKTSerial::RunPendingDispatch()
{
    const std::shared_ptr<SerialWorkerState> worker = m_worker;
    if (!worker)
        return;
    quint32 mask = 0;
    {
        std::lock_guard lock(worker->mutex);
        if (worker->terminate)
            return;
        mask = std::exchange(worker->pendingMask, 0);
    }
    if (mask)
        DispatchHere(mask, worker);
}

void TKTSerial::ReadHere()
{
    const std::shared_ptr<SerialWorkerState> worker = m_worker;
    if (!worker || worker->terminate || !m_readNotifier)
        return;
    const qsizetype room = ReceiveRoom();
    if (room <= 0) {
        // Read makes room and turns the watch back on.
        m_rxStalled = true;
        m_readNotifier->setEnabled(false);
        return;
    }
    std::array<char, SerialWorkerState::ReadChunk> chunk;
    const quint32 discards = m_rxDiscards.load();
    const qint64 n = m_backend->read(chunk.data(), qMin(room, SerialWorkerState::ReadChunk));
    if (n < 0 || (n == 0 && m_backend->lineIsDown())) {
        // A hung-up line stays readable: stop watching it and let the worker, which watches the
        // line, report it.
        m_readNotifier->setEnabled(false);
        worker->readFailed = true;
        worker->wake();
        return;
    }
    if (n == 0 || !Receive(chunk.data(), n, discards))
        return;
    quint32 mask = EV_RXCHAR;
    if (m_errorsWatched && m_lineErrors.collect(*m_backend))
        mask |= EV_ERR;
    DispatchHere(mask, worker);
}

void TKTSerial::DispatchHere(quint32 eventMask, const std::shared_ptr<SerialWorkerState> &worker)
{
    worker->dispatching = true;
    Dispatch(eventMask, worker.get());
    worker->dispatching = false;
    // Writes in the handlers did not wake the worker: it is woken once, and only when the
    // dispatch did not settle them (bytes still to send, or the transmit queue to watch).
    if (!worker->terminate && worker->transmitOwed())
        worker->wake();
}

void TKTSerial::ResumeReading()
{
    if (!m_rxStalled)
        return;
    if (!m_readsHere) {
        m_backend->wake();
        return;
    }
    auto resume = [this] {
        if (m_readNotifier && m_rxStalled) {
            m_rxStalled = false;
            m_readNotifier->setEnabled(true);
        }
    };
    if (QThread::currentThread() == thread())
        resume();
    else
        QMetaObject::invokeMethod(this, resume, Qt::QueuedConnection);
}

void TKTSerial::DispatchEvents(quint32 eventMask)
{
    Dispatch(eventMask, nullptr);
}

void TKTSerial::Dispatch(quint32 eventMask, SerialWorkerState *worker)
{
    // A handler may close the port (and even destroy this component when the handlers run on
    // the worker); the flag tells, without touching the component.
    auto closed = [worker] {
        return worker && worker->terminate.load();
    };
    if ((eventMask & EV_ERR) && !closed())
        OnError(this);
    if ((eventMask & EV_RXCHAR) && !closed() && HasDeliveredBytes(worker))
        OnRxChar(this);
    // An answer that the driver has sent on at once gets its transmit-empty event in this
    // dispatch rather than in a hand-over of its own right after, which would hold up the
    // worker when the next bytes come.
    bool txEmpty = eventMask & EV_TXEMPTY;
    if (!txEmpty && (eventMask & EV_RXCHAR) && worker && (worker->mask & EV_TXEMPTY) && !closed())
        txEmpty = worker->takeTransmitEmpty();
    if (txEmpty && !closed()) {
        if (PortDriverEnabled && m_vicPortAccess)
            SwitchLineDriverToReceive();
        OnTxEmpty(this);
    }
}

void TKTSerial::SwitchLineDriverToReceive()
{
    const quint16 base = m_uartBase;
    // Transmit holding register and transmitter empty; bounded, so a UART that never reports
    // empty cannot stall the events.
    QDeadlineTimer deadline(kTransmitterDrainMs);
    while ((VicPortRead(base + 5) & 0x60) != 0x60 && !deadline.hasExpired()) { }
    VicPortWrite(base + 7, 2);
    VicPortWrite(base + 4, VicPortRead(base + 4) | 0x01);
}
