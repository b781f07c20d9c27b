#pragma once

#include "transfer/CanLink.h"

#include <memory>

class TBKCANThread;

// CanLink over the CAN thread: one thread per opening, delivering on the GUI thread.
class KTCanLink : public CanLink
{
public:
    KTCanLink();
    ~KTCanLink() override;

    [[nodiscard]] quint32 open(const Params &params, ResultHandler onResult,
                               ErrorHandler onError) override;
    quint32 writeMessage(const TCANMsg &msg) override;
    void closeDongle() override;
    void stop() override;

private:
    std::unique_ptr<TBKCANThread> m_thread;
};
