#pragma once

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <memory>

class CanBusLibrary;

// The CAN dongle library over a Qt CAN bus device (CanBusLibrary.h tells which thread serves
// it): one instance per link, each with a bus of its own, so that transfers on different buses
// run side by side. Init opens the bus it is given ("plugin:interface"). Read never blocks and
// may overlap Write and Close from another thread.

#pragma pack(push, 1)
struct TCANMsg
{
    quint32 ID = 0;
    quint8 MsgType = 0; // 0x00 data frame, 11-bit ID; 0x02 29-bit ID; 0x80 status message
    quint8 Len = 0;
    quint8 Data[8] = {};
};
#pragma pack(pop)
static_assert(sizeof(TCANMsg) == 14, "TCANMsg is the library's 14-byte record");

enum : quint8 {
    MSGTYPE_STANDARD = 0x00,
    MSGTYPE_RTR = 0x01,
    MSGTYPE_EXTENDED = 0x02,
    MSGTYPE_STATUS = 0x80
};

enum : quint32 {
    CAN_ERR_OK = 0x0000,
    CAN_ERR_XMTFULL = 0x0001,
    CAN_ERR_OVERRUN = 0x0002,
    CAN_ERR_BUSLIGHT = 0x0004,
    CAN_ERR_BUSHEAVY = 0x0008,
    CAN_ERR_BUSOFF = 0x0010,
    CAN_ERR_QRCVEMPTY = 0x0020,
    CAN_ERR_QOVERRUN = 0x0040,
    CAN_ERR_QXMTFULL = 0x0080,
    CAN_ERR_REGTEST = 0x0100,
    CAN_ERR_NOVXD = 0x0200,
    CAN_ERR_HWINUSE = 0x0400,
    CAN_ERR_NETINUSE = 0x0800,
    CAN_ERR_ILLHW = 0x1400,
    CAN_ERR_ILLNET = 0x1800,
    CAN_ERR_ILLCLIENT = 0x1C00,
    CAN_ERR_RESOURCE = 0x2000,
    CAN_ERR_ILLPARAMTYPE = 0x4000,
    CAN_ERR_ILLPARAMVAL = 0x8000
};

enum : quint32 { HW_DONGLE_SJA = 5, HW_DONGLE_SJA_EPP = 6 };

class CanDongleLibrary
{
public:
    CanDongleLibrary();
    // Closes the bus.
    ~CanDongleLibrary();
    CanDongleLibrary(const CanDongleLibrary &) = delete;
    CanDongleLibrary &operator=(const CanDongleLibrary &) = delete;

    // Opens `bus` ("plugin:interface"), closing the one open before. wBTR0BTR1: BTR0 in the
    // high byte. CANMsgType: 0 = 11-bit, 1 = 29-bit identifiers.
    quint32 Init(const QString &bus, quint16 wBTR0BTR1, quint16 CANMsgType, quint32 CANHwType,
                 quint32 IO_Port, quint16 Interrupt);
    quint32 Read(TCANMsg *MsgBuff);
    quint32 Write(const TCANMsg *MsgBuff);
    quint32 Close();

    // Waits at most timeoutMs for a message to be readable (or for the bus to open or close).
    // True when one is waiting. Lets a reader sleep instead of polling. With a gate, waiting
    // messages count only while *gate is true: a reader that has handed messages on sleeps
    // through new ones until whoever opens its gate calls GateOpened.
    bool WaitReceive(int timeoutMs, const std::atomic<bool> *gate = nullptr);
    // After opening a waiting reader's gate: wakes it if a message is waiting already (messages
    // that come later wake it anyway), and leaves it asleep otherwise.
    void GateOpened();
    // Makes every WaitReceive return at once (a reader that is asked to stop).
    void CancelWait();

    // Waiting messages are announced on this eventfd as well, until it is cleared again. A
    // reader in the thread that serves the open bus (ServedOnThisThread) can watch it in its
    // event loop instead of waiting in a thread of its own.
    void SetReceiveEvent(int fd);
    void ClearReceiveEvent(int fd);
    bool ServedOnThisThread();

    // The inside, for the seams tests use (CanBusLibrary.h).
    CanBusLibrary &Inside() { return *m_library; }

private:
    // Shared with the threads that serve the bus: requests still queued there keep it.
    const std::shared_ptr<CanBusLibrary> m_library;
};

// The bit rate (bit/s) a bus-timing value stands for; 0 when it is not one of the table's.
int CANBitrateFromBTR0BTR1(quint16 wBTR0BTR1);
