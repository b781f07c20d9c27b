#pragma once

#include <QByteArrayView>
#include <QString>

#include <optional>

// What the kernel tells any user about a network interface over rtnetlink, as far as CAN
// needs it: the link kind, whether it is up, and for a CAN controller its bit rate, its
// controller state and its automatic restart delay. No root needed.
struct CanLinkInfo
{
    // Controller states as the kernel numbers them.
    enum State {
        ErrorActive = 0,
        ErrorWarning = 1,
        ErrorPassive = 2,
        BusOff = 3,
        Stopped = 4,
        Sleeping = 5
    };

    QString kind; // "can" for a controller, "vcan"/"vxcan" for virtual ones, else empty
    bool up = false;
    std::optional<quint32> bitrate; // bit/s; only for kind "can"
    std::optional<int> state;
    std::optional<quint32> restartMs;

    // Asks the kernel; nullopt when there is no such interface or netlink does not answer.
    static std::optional<CanLinkInfo> query(const QString &interfaceName);
    // Reads one RTM_NEWLINK message (netlink header included); nullopt when it is not one.
    static std::optional<CanLinkInfo> parse(QByteArrayView message);

    static QString stateName(int state);
};
