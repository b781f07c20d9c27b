#include "comm/PortDriverBackend.h"

#include <QtEndian>

#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {

// /dev/port maps each I/O port to the byte at its own offset; /dev/mem gives the BIOS data
// area, whose parallel-port table sits at physical 0x408.
class DevPortBackend : public PortDriverBackend
{
public:
    ~DevPortBackend() override { close(); }

    bool open() override
    {
        if (m_portFd >= 0)
            return true;
        m_portFd = ::open("/dev/port", O_RDWR | O_CLOEXEC);
        return m_portFd >= 0;
    }

    void close() override
    {
        if (m_portFd >= 0)
            ::close(m_portFd);
        m_portFd = -1;
    }

    quint8 readPort(quint16 address) override
    {
        quint8 value = 0xFF;
        if (m_portFd >= 0 && ::pread(m_portFd, &value, 1, address) != 1)
            value = 0xFF;
        return value;
    }

    void writePort(quint16 address, quint8 value) override
    {
        if (m_portFd >= 0)
            (void)!::pwrite(m_portFd, &value, 1, address);
    }

    bool readParallelPortTable(std::array<quint16, 3> *table) override
    {
        const int fd = ::open("/dev/mem", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        uchar raw[6] = {};
        const bool ok = ::pread(fd, raw, sizeof raw, 0x408) == static_cast<ssize_t>(sizeof raw);
        ::close(fd);
        if (!ok)
            return false;
        for (size_t i = 0; i < table->size(); ++i)
            (*table)[i] = qFromLittleEndian<quint16>(raw + 2 * i);
        return true;
    }

private:
    int m_portFd = -1;
};

std::mutex factoryMutex;
PortDriverBackendFactory &factory()
{
    static PortDriverBackendFactory f;
    return f;
}

} // namespace

std::unique_ptr<PortDriverBackend> createDevPortBackend()
{
    return std::make_unique<DevPortBackend>();
}

void setPortDriverBackendFactory(PortDriverBackendFactory f)
{
    std::lock_guard lock(factoryMutex);
    factory() = std::move(f);
}

std::unique_ptr<PortDriverBackend> createPortDriverBackend()
{
    PortDriverBackendFactory f;
    {
        std::lock_guard lock(factoryMutex);
        f = factory();
    }
    return f ? f() : createDevPortBackend();
}
