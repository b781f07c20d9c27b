#pragma once

#include "comm/PortDriverBackend.h"

#include <QHash>

#include <memory>
#include <mutex>

// Port I/O into memory, for tests: every write is recorded and reads return what was written
// last (or a preset value). The shared Data outlives the backend, so a test can look at it
// after the driver was released.
class MemoryPortDriverBackend : public PortDriverBackend
{
public:
    struct Data
    {
        mutable std::mutex mutex;
        bool openFails = false;
        bool isOpen = false;
        bool tableReadable = true;
        std::array<quint16, 3> table {0x378, 0x278, 0};
        QHash<quint16, quint8> ports;
        QList<QPair<quint16, quint8>> writes;
        int opens = 0;
        int closes = 0;
    };

    explicit MemoryPortDriverBackend(std::shared_ptr<Data> data);

    bool open() override;
    void close() override;
    quint8 readPort(quint16 address) override;
    void writePort(quint16 address, quint8 value) override;
    bool readParallelPortTable(std::array<quint16, 3> *table) override;

private:
    std::shared_ptr<Data> m_data;
};
