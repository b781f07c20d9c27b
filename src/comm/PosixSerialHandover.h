#pragma once

#include "comm/SerialHandover.h"

// SerialHandover over an eventfd that a QSocketNotifier watches in the component's thread.
class PosixSerialHandover final : public SerialHandover,
                                  public std::enable_shared_from_this<PosixSerialHandover>
{
public:
    PosixSerialHandover();
    ~PosixSerialHandover() override;
    PosixSerialHandover(const PosixSerialHandover &) = delete;
    PosixSerialHandover &operator=(const PosixSerialHandover &) = delete;

    bool isValid() const { return m_fd >= 0; }
    void raise() override;
    [[nodiscard]] QObject *watch(QObject *receiver, std::function<void()> onRaised) override;

private:
    void reset();

    const int m_fd;
};
