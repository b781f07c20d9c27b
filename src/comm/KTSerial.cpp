#include "comm/KTSerial.h"

#include "comm/KTPort32.h"
#include "comm/KTSerialThread.h"
#include "comm/SerialLineErrors.h"
#include "comm/SerialPlatform.h"
#include "base/SettingsStore.h"

#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <cerrno>
#include <unistd.h>

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

} // namespace

struct TKTSerial::LineState
{
    SerialPlatform::LineRecord record;
};

TKTSerial::TKTSerial(QObject *owner) : QObject(owner), m_line(std::make_unique<LineState>()) { }

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

    const int fd = SerialPlatform::openDevice(SettingsStore::comPortDevicePath(int(m_port)));
    if (fd < 0) {
        const int error = errno;
        if (vic)
            ClosePortDriver();
        errno = error;
        throw ECommHandleError(SystemErrorText());
    }
    m_handle = fd;
    m_active = true;
    SerialLineErrors::attach(fd);
    qCDebug(lcSerialWorker) << "opened" << CommPortDeviceName(m_port) << "as descriptor" << fd;

    try {
        // Queue sizes have no Linux equivalent: the driver's buffers are fixed. They stay stored.
        if (!SerialPlatform::readLine(fd, &m_line->record))
            raiseInitError();
        SerialPlatform::makeRaw(&m_line->record);
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
    m_worker = TKTSerialThread::create(this, m_handle, mask, BaudrateValue(m_baudrate));
    if (!m_worker)
        raiseInitError();
    // The notifier watches a descriptor of its own for the same eventfd, so it never watches
    // a closed one, whichever of it and the worker's state goes first. It has no parent: a
    // component destroyed on the worker thread must not destroy it there.
    const int handoverFd = ::dup(m_worker->handoverFd);
    if (handoverFd < 0) {
        StopWorker();
        raiseInitError();
    }
    m_handoverNotifier = new QSocketNotifier(handoverFd, QSocketNotifier::Read);
    connect(m_handoverNotifier, &QObject::destroyed, [handoverFd] { ::close(handoverFd); });
    connect(m_handoverNotifier, &QSocketNotifier::activated, this, [this, handoverFd] {
        quint64 count = 0;
        (void)!::read(handoverFd, &count, sizeof count);
        RunPendingDispatch();
    });
    TKTSerialThread::run(m_worker, niceFor(m_threadPriority));
}

void TKTSerial::StopWorker()
{
    if (m_handoverNotifier) {
        // Possibly inside its own activation: freed once that returns, in its own thread. Its
        // hand-over connection ends with this component at the latest.
        if (m_handoverNotifier->thread() == QThread::currentThread())
            m_handoverNotifier->setEnabled(false);
        else
            disconnect(m_handoverNotifier, nullptr, this, nullptr);
        m_handoverNotifier->deleteLater();
        m_handoverNotifier = nullptr;
    }
    std::shared_ptr<SerialWorkerState> worker = std::move(m_worker);
    m_worker.reset();
    if (!worker)
        return;
    {
        std::lock_guard lock(worker->mutex);
        worker->terminate = true;
    }
    worker->handedBack.notify_all();
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
    const int fd = m_handle;
    qCDebug(lcSerialWorker) << "closing" << CommPortDeviceName(m_port) << "descriptor" << fd;
    SerialPlatform::purge(fd);
    SerialLineErrors::detach(fd);
    const bool closed = SerialPlatform::closeDevice(fd);
    const int error = errno;
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
    SerialPlatform::setFrame(&m_line->record, BaudrateValue(m_baudrate),
                             DataBitLineValue(m_dataBits), ParityLineValue(m_parity),
                             StopBitLineValue(m_stopBits));
    if (!SerialPlatform::writeLine(m_handle, m_line->record))
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

quint32 TKTSerial::InputCount()
{
    if (!m_active)
        return 0;
    quint32 errors = 0;
    TComStat stat;
    if (!ClearCommError(m_handle, &errors, &stat) || errors)
        return 0;
    return stat.cbInQue;
}

quint32 TKTSerial::Read(void *Buffer, quint32 Count)
{
    if (!m_active || !Buffer)
        return 0;
    const quint32 n = qMin(Count, InputCount());
    if (n == 0)
        return 0;
    const ssize_t got = ::read(m_handle, Buffer, n);
    if (got <= 0)
        return 0;
    m_bytesRead += quint64(got);
    return quint32(got);
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
        const ssize_t n = ::write(m_handle, data, Count);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            SerialLineErrors::raise(m_handle, CE_IOE);
        return n > 0 ? quint32(n) : 0;
    }
    quint32 written = 0;
    {
        std::lock_guard lock(worker->txMutex);
        if (worker->txPending.isEmpty()) {
            const ssize_t n = ::write(m_handle, data, Count);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                SerialLineErrors::raise(m_handle, CE_IOE);
                return 0;
            }
            written = n > 0 ? quint32(n) : 0;
        }
        // The rest is sent by the worker as the driver makes room; the caller's buffer is
        // free at once.
        if (written < Count)
            worker->txPending.append(data + written, qsizetype(Count - written));
        worker->txAwaitingEmpty = true;
    }
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
        if (worker->terminate || worker->handoverDone)
            return;
        mask = worker->pendingMask;
        worker->pendingMask = 0;
    }
    if (mask)
        Dispatch(mask, worker.get());
    {
        std::lock_guard lock(worker->mutex);
        worker->handoverDone = true;
    }
    worker->handedBack.notify_all();
}

void TKTSerial::DispatchEvents(quint32 eventMask)
{
    Dispatch(eventMask, nullptr);
}

void TKTSerial::Dispatch(quint32 eventMask, const SerialWorkerState *worker)
{
    // A handler may close the port (and even destroy this component when the handlers run on
    // the worker); the flag tells, without touching the component.
    auto closed = [worker] {
        return worker && worker->terminate.load();
    };
    if ((eventMask & EV_ERR) && !closed())
        OnError(this);
    if ((eventMask & EV_RXCHAR) && !closed())
        OnRxChar(this);
    if ((eventMask & EV_TXEMPTY) && !closed()) {
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
