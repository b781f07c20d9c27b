#include "comm/CanDongleLibrary.h"

#include "comm/CanBusLibrary.h"

CanDongleLibrary::CanDongleLibrary() : m_library(std::make_shared<CanBusLibrary>()) { }

CanDongleLibrary::~CanDongleLibrary()
{
    m_library->close();
}

quint32 CanDongleLibrary::Init(const QString &bus, quint16 wBTR0BTR1, quint16 CANMsgType,
                               quint32 CANHwType, quint32 IO_Port, quint16 Interrupt)
{
    return m_library->init(bus, wBTR0BTR1, CANMsgType, CANHwType, IO_Port, Interrupt);
}

quint32 CanDongleLibrary::Read(TCANMsg *MsgBuff)
{
    return m_library->read(MsgBuff);
}

quint32 CanDongleLibrary::Write(const TCANMsg *MsgBuff)
{
    if (!MsgBuff)
        return CAN_ERR_ILLPARAMVAL;
    return m_library->write(*MsgBuff);
}

quint32 CanDongleLibrary::Close()
{
    return m_library->close();
}

bool CanDongleLibrary::WaitReceive(int timeoutMs, const std::atomic<bool> *gate)
{
    return m_library->waitReceive(timeoutMs, gate);
}

void CanDongleLibrary::GateOpened()
{
    m_library->gateOpened();
}

void CanDongleLibrary::CancelWait()
{
    m_library->cancelWait();
}

void CanDongleLibrary::SetReceiveEvent(int fd)
{
    m_library->setReceiveEvent(fd);
}

void CanDongleLibrary::ClearReceiveEvent(int fd)
{
    m_library->clearReceiveEvent(fd);
}

bool CanDongleLibrary::ServedOnThisThread()
{
    return m_library->servedOnCurrentThread();
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
