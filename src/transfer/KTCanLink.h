#pragma once

#include "transfer/CanLink.h"

#include <QString>

#include <memory>

class TBKCANThread;

// CanLink over the CAN thread: one thread, with a dongle library of its own, per opening,
// delivering on the GUI thread. The bus is the one the params name; until every caller names
// one, a link falls back to the bus it was made for and then to the "CANBus" setting.
class KTCanLink : public CanLink
{
public:
    explicit KTCanLink(QString bus = {});
    ~KTCanLink() override;

    [[nodiscard]] quint32 open(const Params &params, ResultHandler onResult,
                               ErrorHandler onError) override;
    quint32 writeMessage(const TCANMsg &msg) override;
    void closeDongle() override;
    void stop() override;

private:
    const QString m_bus;
    std::unique_ptr<TBKCANThread> m_thread;
};
