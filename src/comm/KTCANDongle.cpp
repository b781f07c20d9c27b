#include "KTCANDongle.h"

struct CANWorkerState
{
};

QString CANErrorText(quint32)
{
    return QStringLiteral("Unknown error");
}
quint16 CANBusTimingForCode(quint8)
{
    return 0x7F7F;
}
quint32 CANIOAddressForIndex(quint8)
{
    return 0x100;
}
quint16 CANInterruptForIndex(quint8)
{
    return 3;
}
TBKCANThread::TBKCANThread(TCANResultEvent, TCANErrorEvent) { }
TBKCANThread::~TBKCANThread() = default;
quint32 TBKCANThread::OpenDongle(bool, quint8, bool, quint8, quint8, bool)
{
    return CAN_ERR_NOVXD;
}
void TBKCANThread::CloseDongle() { }
quint32 TBKCANThread::WriteMessage(TCANMsg)
{
    return CAN_ERR_ILLHW;
}
void TBKCANThread::Terminate() { }
bool TBKCANThread::Terminated() const
{
    return true;
}
bool TBKCANThread::DongleOpen() const
{
    return false;
}
quint32 TBKCANThread::ErrorCode() const
{
    return 0;
}
