#pragma once

#include "comm/CanDongleLibrary.h"

#include <QString>

#include <functional>
#include <memory>

class TBKCANThread;
struct CANWorkerState;

using TCANResultEvent = std::function<void(TBKCANThread *Sender, const TCANMsg &Msg)>;
using TCANErrorEvent = std::function<void(TBKCANThread *Sender, quint32 ErrorCode)>;

// Text for a dongle library result code (exact match; combined bits are "Unknown error").
QString CANErrorText(quint32 code);

// Bus-timing value, I/O address and interrupt for the configuration indices.
quint16 CANBusTimingForCode(quint8 bitrateCode);
quint32 CANIOAddressForIndex(quint8 portIndex);
quint16 CANInterruptForIndex(quint8 interruptIndex);

// Receives CAN messages through a dongle library of its own and hands each one, and each error, to
// the handlers: on the thread that created this object when OpenDongle was asked to synchronise
// (nothing more is read until the handler has returned), else on a receive thread of its own.
// Synchronised messages are read on the creating thread itself when that thread serves the bus
// (the library keeps a bus opened from the application's thread there); otherwise the receive
// thread reads them and hands them over. Messages that arrive together go in one go, one
// handler call each.
// Own it with std::unique_ptr. Terminate() stops it without waiting; destroying it stops the
// thread (within a few milliseconds, also from inside a handler) and closes the dongle. No
// handler is called after destruction has begun.
class TBKCANThread
{
public:
    TBKCANThread(TCANResultEvent OnResult, TCANErrorEvent OnError);
    ~TBKCANThread();
    TBKCANThread(const TBKCANThread &) = delete;
    TBKCANThread &operator=(const TBKCANThread &) = delete;

    // Opens `Bus` ("plugin:interface") at the bit rate of BitrateCode.
    quint32 OpenDongle(const QString &Bus, bool EPP, quint8 BitrateCode, bool ExtendedIds,
                       quint8 PortIndex, quint8 InterruptIndex, bool SyncEvents);
    void CloseDongle();
    quint32 WriteMessage(TCANMsg Msg);

    // The terminate flag: the thread leaves its loop and delivers nothing more.
    void Terminate();
    bool Terminated() const;
    bool DongleOpen() const;
    quint32 ErrorCode() const;
    // The library it reads and writes through (tests reach its seams here).
    CanDongleLibrary &Library();

private:
    std::shared_ptr<CANWorkerState> m_state;
};
