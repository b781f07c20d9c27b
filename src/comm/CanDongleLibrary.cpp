#include "comm/CanDongleLibrary.h"

#include "comm/CanBusLibrary.h"

quint32 CAN_Init(quint16 wBTR0BTR1, quint16 CANMsgType, quint32 CANHwType, quint32 IO_Port,
                 quint16 Interrupt)
{
    return CanBusLibrary::instance().init(wBTR0BTR1, CANMsgType, CANHwType, IO_Port, Interrupt);
}

quint32 CAN_Read(TCANMsg *MsgBuff)
{
    return CanBusLibrary::instance().read(MsgBuff);
}

quint32 CAN_Write(const TCANMsg *MsgBuff)
{
    if (!MsgBuff)
        return CAN_ERR_ILLPARAMVAL;
    return CanBusLibrary::instance().write(*MsgBuff);
}

quint32 CAN_Close()
{
    return CanBusLibrary::instance().close();
}

bool CAN_WaitReceive(int timeoutMs, const std::atomic<bool> *gate)
{
    return CanBusLibrary::instance().waitReceive(timeoutMs, gate);
}

void CAN_GateOpened()
{
    CanBusLibrary::instance().gateOpened();
}

void CAN_CancelWait()
{
    CanBusLibrary::instance().cancelWait();
}

void CAN_SetReceiveEvent(int fd)
{
    CanBusLibrary::instance().setReceiveEvent(fd);
}

void CAN_ClearReceiveEvent(int fd)
{
    CanBusLibrary::instance().clearReceiveEvent(fd);
}

bool CAN_ServedOnThisThread()
{
    return CanBusLibrary::instance().servedOnCurrentThread();
}

int CANBitrateFromBTR0BTR1(quint16 wBTR0BTR1)
{
    // With the dongle's 16 MHz controller clock.
    switch (wBTR0BTR1) {
    case 0x7F7F:
        return 5000;
    case 0x672F:
        return 10000;
    case 0x532F:
        return 20000;
    case 0x472F:
        return 50000;
    case 0x432F:
        return 100000;
    case 0x031C:
        return 125000;
    case 0x011C:
        return 250000;
    case 0x001C:
        return 500000;
    case 0x0014:
        return 1000000;
    default:
        return 0;
    }
}
