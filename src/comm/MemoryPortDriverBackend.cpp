#include "comm/MemoryPortDriverBackend.h"

MemoryPortDriverBackend::MemoryPortDriverBackend(std::shared_ptr<Data> data)
    : m_data(std::move(data))
{ }

bool MemoryPortDriverBackend::open()
{
    std::lock_guard lock(m_data->mutex);
    if (m_data->openFails)
        return false;
    m_data->isOpen = true;
    ++m_data->opens;
    return true;
}

void MemoryPortDriverBackend::close()
{
    std::lock_guard lock(m_data->mutex);
    if (m_data->isOpen)
        ++m_data->closes;
    m_data->isOpen = false;
}

quint8 MemoryPortDriverBackend::readPort(quint16 address)
{
    std::lock_guard lock(m_data->mutex);
    return m_data->ports.value(address, 0xFF);
}

void MemoryPortDriverBackend::writePort(quint16 address, quint8 value)
{
    std::lock_guard lock(m_data->mutex);
    m_data->ports.insert(address, value);
    m_data->writes.append({address, value});
}

bool MemoryPortDriverBackend::readParallelPortTable(std::array<quint16, 3> *table)
{
    std::lock_guard lock(m_data->mutex);
    if (!m_data->tableReadable)
        return false;
    *table = m_data->table;
    return true;
}
