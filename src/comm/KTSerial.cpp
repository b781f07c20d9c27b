#include "KTSerial.h"

struct TKTSerial::LineState
{
};
struct SerialWorkerState
{
};

bool ClearCommError(int, quint32 *Errors, TComStat *Stat)
{
    if (Errors)
        *Errors = 0;
    if (Stat)
        *Stat = {};
    return false;
}

TKTSerial::TKTSerial(QObject *owner) : QObject(owner) { }
TKTSerial::~TKTSerial() = default;
void TKTSerial::Open() { }
void TKTSerial::Close() { }
quint32 TKTSerial::InputCount()
{
    return 0;
}
quint32 TKTSerial::Read(void *, quint32)
{
    return 0;
}
quint32 TKTSerial::Write(const void *, quint32)
{
    return 0;
}
void TKTSerial::Assign(const TKTSerial &) { }
void TKTSerial::SetActive(bool) { }
void TKTSerial::SetBaudrate(TBaudrate value)
{
    m_baudrate = value;
}
void TKTSerial::SetFrameDatabits(TDataBit value)
{
    m_dataBits = value;
}
void TKTSerial::SetFrameParitybit(TParityBit value)
{
    m_parity = value;
}
void TKTSerial::SetFrameStopbits(TStopBit value)
{
    m_stopBits = value;
}
void TKTSerial::SetPortName(TPort value)
{
    m_port = value;
}
void TKTSerial::SetRxBufSize(int value)
{
    m_rxBufSize = value;
}
void TKTSerial::SetTxBufSize(int value)
{
    m_txBufSize = value;
}
void TKTSerial::SetRxTimeOut(int value)
{
    m_rxTimeOut = value;
}
void TKTSerial::SetTxTimeOut(int value)
{
    m_txTimeOut = value;
}
void TKTSerial::SetSyncEventHandling(bool value)
{
    m_syncEventHandling = value;
}
void TKTSerial::SetThreadPriority(QThread::Priority value)
{
    m_threadPriority = value;
}
void TKTSerial::SetVicPortAccess(bool value)
{
    m_vicPortAccess = value;
}
bool TKTSerial::HasWorker() const
{
    return false;
}
void TKTSerial::DispatchEvents(quint32) { }
