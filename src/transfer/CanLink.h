#pragma once

#include "comm/KTCANDongle.h"

#include <QString>
#include <QtGlobal>

#include <functional>

// The narrow view of the CAN dongle that a transfer drives: the window and the command-line tool
// hand in an adapter over the CAN thread, the unit tests an in-memory fake. Handlers are called on
// the GUI (main) thread, never after stop().
class CanLink
{
public:
    struct Params
    {
        bool epp = false;
        quint8 bitrateCode = 7;
        bool extendedIds = false;
        quint8 portIndex = 0;
        quint8 interruptIndex = 0;
        QString bus; // "plugin:interface"
    };
    using ResultHandler = std::function<void(const TCANMsg &msg)>;
    using ErrorHandler = std::function<void(quint32 code)>;

    virtual ~CanLink() = default;

    // Starts the receive thread and opens the dongle; 0 on success, else the library's code.
    [[nodiscard]] virtual quint32 open(const Params &params, ResultHandler onResult,
                                       ErrorHandler onError)
        = 0;
    // The library's result; 0 when sent.
    virtual quint32 writeMessage(const TCANMsg &msg) = 0;
    virtual void closeDongle() = 0;
    // Ends the receive thread without waiting for it; no handler runs afterwards.
    virtual void stop() = 0;
};
