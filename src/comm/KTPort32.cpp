#include "comm/KTPort32.h"

#include "comm/KTComm.h"

#include <algorithm>
#include <mutex>

std::atomic<bool> PortDriverEnabled {false};

namespace {

// The shared instance is reached from the serial worker and the GUI thread alike.
std::mutex portDriverMutex;
std::unique_ptr<TVicPort> PortDriver;

} // namespace

TVicPort::TVicPort()
{
    Reset();
}

TVicPort::~TVicPort()
{
    DetachDriver();
}

void TVicPort::Reset()
{
    m_hardAccess = true;
    m_activeHW = false;
    m_tableMapped = false;
    m_lptTable = {};
}

bool TVicPort::AttachDriver()
{
    if (m_activeHW)
        return true;
    Reset();
    m_lptBase = 0x378;
    m_lptNumber = 1;
    m_backend = createPortDriverBackend();
    if (!m_backend || !m_backend->open()) {
        m_backend.reset();
        return false;
    }
    m_activeHW = true;
    m_tableMapped = m_backend->readParallelPortTable(&m_lptTable);
    if (m_tableMapped) {
        m_lptCount = int(std::count_if(m_lptTable.begin(), m_lptTable.end(),
                                       [](quint16 base) { return base != 0; }));
        m_lptBase = m_lptTable[0];
    } else {
        m_lptCount = 1;
        m_lptBase = 0x378;
    }
    m_lptNumber = 1;
    return true;
}

void TVicPort::DetachDriver()
{
    if (!m_activeHW)
        return;
    m_hardAccess = true;
    m_tableMapped = false;
    if (m_backend)
        m_backend->close();
    m_backend.reset();
    m_activeHW = false;
}

quint8 TVicPort::ReadPortByte(quint16 Address)
{
    if (!m_activeHW || !m_backend)
        return 0xFF;
    // Without HardAccess the original used the processor's own port instructions; on Linux
    // both go through the backend.
    const quint8 value = m_backend->readPort(Address);
    if (Address >= m_lptBase && Address - m_lptBase <= 2)
        m_lptShadow[Address - m_lptBase] = value;
    return value;
}

void TVicPort::WritePortByte(quint16 Address, quint8 Value)
{
    if (!m_activeHW || !m_backend)
        return;
    if (Address >= m_lptBase && Address - m_lptBase <= 2)
        m_lptShadow[Address - m_lptBase] = Value;
    m_backend->writePort(Address, Value);
}

void TVicPort::SetLPTNumber(quint8 value)
{
    // Without a readable table there is no entry to take the base from.
    if (!m_activeHW || !m_tableMapped || value < 1 || value > m_lptCount)
        return;
    m_lptBase = m_lptTable[value - 1];
    m_lptShadow = {};
    m_lptNumber = value;
}

void OpenPortDriver()
{
    std::lock_guard lock(portDriverMutex);
    PortDriverEnabled = true;
    if (PortDriver)
        return;
    PortDriver = std::make_unique<TVicPort>();
    if (!PortDriver->AttachDriver()) {
        PortDriverEnabled = false;
        PortDriver.reset();
        throw ESystemError(QStringLiteral("Unable to open port driver!"));
    }
}

void ClosePortDriver()
{
    std::lock_guard lock(portDriverMutex);
    PortDriverEnabled = false;
    if (PortDriver) {
        PortDriver->DetachDriver();
        PortDriver.reset();
    }
}

quint8 VicPortRead(quint16 Address)
{
    std::lock_guard lock(portDriverMutex);
    if (!PortDriverEnabled || !PortDriver || !PortDriver->ActiveHW())
        return 0;
    return PortDriver->ReadPortByte(Address);
}

void VicPortWrite(quint16 Address, quint8 Value)
{
    std::lock_guard lock(portDriverMutex);
    if (PortDriverEnabled && PortDriver && PortDriver->ActiveHW())
        PortDriver->WritePortByte(Address, Value);
}
