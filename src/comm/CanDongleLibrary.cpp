#include "CanDongleLibrary.h"

quint32 CAN_Init(quint16, quint16, quint32, quint32, quint16)
{
    return CAN_ERR_NOVXD;
}
quint32 CAN_Read(TCANMsg *)
{
    return CAN_ERR_QRCVEMPTY;
}
quint32 CAN_Write(const TCANMsg *)
{
    return CAN_ERR_ILLHW;
}
quint32 CAN_Close()
{
    return CAN_ERR_OK;
}
bool CAN_WaitReceive(int)
{
    return false;
}
int CANBitrateFromBTR0BTR1(quint16)
{
    return 0;
}
