#pragma once

#include <QtGlobal>

#include <array>
#include <functional>
#include <memory>

// The platform's single-byte port I/O, behind which TVicPort works. On Linux: /dev/port for
// port bytes and /dev/mem for the BIOS parallel-port table; tests use an in-memory fake.
class PortDriverBackend
{
public:
    virtual ~PortDriverBackend() = default;

    // False when the backend cannot be used (missing device, no permission).
    [[nodiscard]] virtual bool open() = 0;
    virtual void close() = 0;
    virtual quint8 readPort(quint16 address) = 0;
    virtual void writePort(quint16 address, quint8 value) = 0;
    // The three parallel-port base addresses of the BIOS data area (physical 0x408);
    // false when they cannot be read.
    [[nodiscard]] virtual bool readParallelPortTable(std::array<quint16, 3> *table) = 0;
};

using PortDriverBackendFactory = std::function<std::unique_ptr<PortDriverBackend>()>;

// The backend on /dev/port and /dev/mem.
std::unique_ptr<PortDriverBackend> createDevPortBackend();
// Replaces the factory that new TVicPort instances use (tests); an empty one restores
// createDevPortBackend.
void setPortDriverBackendFactory(PortDriverBackendFactory factory);
std::unique_ptr<PortDriverBackend> createPortDriverBackend();
