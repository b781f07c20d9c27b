#pragma once

#include "comm/KTComm.h"
#include "comm/SerialBackend.h"
#include "comm/SerialLineErrors.h"
#include "comm/TEventHandler.h"

#include <QByteArray>
#include <QObject>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>

class QSocketNotifier;
class TKTSerial;
struct SerialWorkerState;

// Port event bits of the worker's wait.
enum : quint32 { EV_RXCHAR = 0x0001, EV_TXEMPTY = 0x0004, EV_ERR = 0x0080 };

// The five time-out values last written to the port (milliseconds).
struct TCommTimeouts
{
    quint32 ReadIntervalTimeout = 0;
    quint32 ReadTotalTimeoutMultiplier = 0;
    quint32 ReadTotalTimeoutConstant = 0;
    quint32 WriteTotalTimeoutMultiplier = 0;
    quint32 WriteTotalTimeoutConstant = 0;
    bool operator==(const TCommTimeouts &) const = default;
};

// Queue status that ClearCommError reports with the flags.
struct TComStat
{
    quint32 cbInQue = 0;
    quint32 cbOutQue = 0;
};

// Reads and clears the line error flags (CE_* bits) of the open port whose Handle is given:
// the driver's error counters since the last call and any I/O failure seen on the port.
// False on an invalid or closed handle, with errno set (LastErrorText tells why).
bool ClearCommError(int Handle, quint32 *Errors, TComStat *Stat = nullptr);

using TNotifyEvent = TEventHandler<TKTSerial *>;

// One serial port: opened exclusive, non-blocking and raw on its DevicePath, through a
// SerialBackend (the platform's own unless one is handed in). A
// worker thread waits for port events and calls OnError, OnRxChar and OnTxEmpty (in that order),
// on the thread that owns the component when SyncEventHandling is set; that thread then reads
// the received bytes itself when the backend has a descriptor to watch and Open runs there.
// Read, Write and InputCount never block and never raise.
//
// While a worker serves OnRxChar, it reads the bytes before the event and they travel with it:
// InputCount and Read answer from them without asking the driver, and the worker reads no more
// than RxBufSize ahead of the readers.
//
// The event kinds served are fixed at Open by the handlers assigned then; a handler may be
// replaced or cleared at any time. Close and the destructor may be called from inside a
// handler: the worker is stopped (and joined, unless the caller is the worker itself) without
// ever waiting for the handler, and no handler of that opening runs after Close returns.
class TKTSerial : public QObject
{
    Q_OBJECT

public:
    explicit TKTSerial(QObject *owner = nullptr);
    explicit TKTSerial(std::unique_ptr<SerialBackend> backend, QObject *owner = nullptr);
    ~TKTSerial() override;
    TKTSerial(const TKTSerial &) = delete;
    TKTSerial &operator=(const TKTSerial &) = delete;

    // Raise ECommHandleError / ECommInitError / ESystemError.
    void Open();
    void Close();

    quint32 InputCount();
    // ClearCommError for this port (false while closed, errno EBADF).
    bool ClearCommError(quint32 *Errors, TComStat *Stat = nullptr);
    quint32 Read(void *Buffer, quint32 Count);
    // Drops every received byte nobody has taken yet: the driver's receive queue and what the
    // worker has read ahead, also bytes it is reading at that moment. False while closed (errno
    // EBADF) or when the driver refuses; what the worker held is dropped all the same.
    bool DiscardInput();
    // Bytes the driver took at once: Count, or 0 while the rest is still being sent. The data
    // is copied; OnTxEmpty follows once everything has left the transmit queue.
    quint32 Write(const void *Buffer, quint32 Count);
    // Raises or drops DTR or RTS of the open port (errno EBADF while closed).
    [[nodiscard]] SerialBackend::ModemResult SetModemLine(SerialBackend::ModemLine Line, bool On);
    // Copies the settings of Source while this port is closed (not VicPortAccess, not events).
    void Assign(const TKTSerial &Source);

    bool Active() const { return m_active; }
    void SetActive(bool value);

    TBaudrate Baudrate() const { return m_baudrate; }
    void SetBaudrate(TBaudrate value);
    TDataBit FrameDatabits() const { return m_dataBits; }
    void SetFrameDatabits(TDataBit value);
    TParityBit FrameParitybit() const { return m_parity; }
    void SetFrameParitybit(TParityBit value);
    TStopBit FrameStopbits() const { return m_stopBits; }
    void SetFrameStopbits(TStopBit value);
    TPort PortName() const { return m_port; }
    // Forgets the device path when the port changes: set the path after the port.
    void SetPortName(TPort value);
    // The device the next Open opens (the settings' path for PortName, handed in by whoever
    // chose the port); empty, Open fails.
    QString DevicePath() const { return m_devicePath; }
    void SetDevicePath(const QString &value) { m_devicePath = value; }
    int RxBufSize() const { return m_rxBufSize; }
    void SetRxBufSize(int value);
    int TxBufSize() const { return m_txBufSize; }
    void SetTxBufSize(int value);
    int RxTimeOut() const { return m_rxTimeOut; }
    void SetRxTimeOut(int value);
    int TxTimeOut() const { return m_txTimeOut; }
    void SetTxTimeOut(int value);
    bool SyncEventHandling() const { return m_syncEventHandling; }
    void SetSyncEventHandling(bool value);
    QThread::Priority ThreadPriority() const { return m_threadPriority; }
    void SetThreadPriority(QThread::Priority value);
    bool VicPortAccess() const { return m_vicPortAccess; }
    void SetVicPortAccess(bool value);

    // The backend's handle of the open port; -1 (all bits set) while closed.
    int Handle() const { return m_handle; }
    quint16 UARTBase() const { return m_uartBase; }
    // What ApplyTimeouts last wrote (Linux has no equivalent for non-blocking I/O: kept only).
    TCommTimeouts Timeouts() const { return m_timeouts; }
    // True while a worker thread serves this opening.
    bool HasWorker() const;

    TNotifyEvent OnActivate;
    TNotifyEvent OnDeactivate;
    TNotifyEvent OnError;
    TNotifyEvent OnRxChar;
    TNotifyEvent OnTxEmpty;

    // Runs the handlers for one event mask: OnError, OnRxChar, OnTxEmpty.
    void DispatchEvents(quint32 eventMask);

private slots:
    // The worker's hand-over when SyncEventHandling is set.
    void RunPendingDispatch();
    // Received bytes, read on this component's thread when it watches the port itself.
    void ReadHere();

private:
    friend class TKTSerialThread;
    // Stops at the first handler after the opening that started the worker was closed.
    void Dispatch(quint32 eventMask, SerialWorkerState *worker);
    // Dispatch on this component's thread, then wakes the worker if the handlers left it
    // something to send or a transmit queue to watch.
    void DispatchHere(quint32 eventMask, const std::shared_ptr<SerialWorkerState> &worker);
    // The receive buffer has room again: the reader goes on.
    void ResumeReading();
    void ApplyTimeouts();
    void ApplyLine();
    // The worker's side of the receive buffer: room left, and bytes it has read.
    qsizetype ReceiveRoom();
    // False when an event handed over to this thread finds none of its bytes left.
    bool HasDeliveredBytes(const SerialWorkerState *worker);
    // Keeps bytes the worker read while DiscardInput had been called `discards` times; false
    // (bytes dropped) when a discard came in between.
    bool Receive(const char *data, qsizetype count, quint32 discards);
    // The line errors InputCount and Read see while the received bytes come with the event.
    quint32 TakeDeliveredErrors();
    void StartWorker(quint32 mask);
    void StopWorker();
    void JoinRetiredWorker();
    void SwitchLineDriverToReceive();
    [[noreturn]] void RaiseRefusal(const char *what, const char *action) const;

    const std::shared_ptr<SerialBackend> m_backend;
    std::atomic<bool> m_active {false};
    bool m_destroying = false;
    int m_handle = -1;
    TBaudrate m_baudrate = br9600;
    TDataBit m_dataBits = db_8;
    TParityBit m_parity = TParityBit::Even;
    TStopBit m_stopBits = sb_1;
    TPort m_port = COM1;
    QString m_devicePath;
    std::atomic<int> m_rxBufSize {2048};
    int m_txBufSize = 2048;
    int m_rxTimeOut = 0;
    int m_txTimeOut = 0;
    std::atomic<bool> m_syncEventHandling {false};
    QThread::Priority m_threadPriority = QThread::NormalPriority;
    std::atomic<bool> m_vicPortAccess {false};
    std::atomic<quint16> m_uartBase {0x3F8};
    TCommTimeouts m_timeouts;
    SerialLineErrors m_lineErrors;
    std::shared_ptr<SerialWorkerState> m_worker;
    // Watches the worker's hand-over in this component's thread. It has no parent and goes by
    // deleteLater: a component destroyed on the worker thread must not destroy it there.
    struct DeleteLater
    {
        void operator()(QObject *object) const;
    };
    std::unique_ptr<QObject, DeleteLater> m_handoverWatcher;
    // With SyncEventHandling, a port that an event loop can watch is read on this component's
    // thread: an answer then costs no hand-over between threads.
    std::unique_ptr<QSocketNotifier, DeleteLater> m_readNotifier;
    std::atomic<bool> m_readsHere {false};
    // A worker that closed its own port from a handler; joined by the next Open or the
    // destructor, so nothing of it runs on when the component goes.
    std::shared_ptr<SerialWorkerState> m_retiredWorker;
    // What the worker serves in this opening: the received bytes come with the event, and it
    // collects the line errors as it goes.
    std::atomic<bool> m_rxDelivered {false};
    std::atomic<bool> m_errorsWatched {false};
    // The worker does not read because the receive buffer is full; Read wakes it.
    std::atomic<bool> m_rxStalled {false};
    // Bytes the worker has read that nobody has taken yet.
    std::mutex m_rxMutex;
    QByteArray m_rx;
    std::atomic<quint32> m_rxDiscards {0};
};
