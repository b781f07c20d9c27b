#pragma once

#include "comm/PortDriverBackend.h"

#include <QtGlobal>

#include <array>
#include <atomic>
#include <memory>

// Byte access to PC I/O ports through the port-driver backend, and the process-wide shared
// instance the serial component's VicPortAccess mode uses.
class TVicPort
{
public:
    TVicPort();
    ~TVicPort();
    TVicPort(const TVicPort &) = delete;
    TVicPort &operator=(const TVicPort &) = delete;

    bool AttachDriver();
    void DetachDriver();
    // 0xFF while the driver is not attached.
    quint8 ReadPortByte(quint16 Address);
    void WritePortByte(quint16 Address, quint8 Value);

    bool ActiveHW() const { return m_activeHW; }
    quint8 LPTNumber() const { return m_lptNumber; }
    // Accepted only while attached and for 1..LPTCount.
    void SetLPTNumber(quint8 value);
    bool HardAccess() const { return m_hardAccess; }
    void SetHardAccess(bool value) { m_hardAccess = value; }
    quint16 LPTBase() const { return m_lptBase; }
    int LPTCount() const { return m_lptCount; }
    std::array<quint8, 3> LPTShadow() const { return m_lptShadow; }

private:
    void Reset();

    std::unique_ptr<PortDriverBackend> m_backend;
    std::atomic<bool> m_activeHW {false};
    bool m_hardAccess = true;
    quint8 m_lptNumber = 1;
    quint16 m_lptBase = 0x378;
    int m_lptCount = 0;
    bool m_tableMapped = false;
    std::array<quint16, 3> m_lptTable {};
    std::array<quint8, 3> m_lptShadow {};
};

// True while direct port access is in use.
extern std::atomic<bool> PortDriverEnabled;

// Raises ESystemError("Unable to open port driver!") when the driver cannot be attached.
void OpenPortDriver();
void ClosePortDriver();
// 0 when direct access is not in use.
quint8 VicPortRead(quint16 Address);
void VicPortWrite(quint16 Address, quint8 Value);
