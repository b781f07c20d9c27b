#include "comm/CanLinkInfo.h"

#include <QByteArray>
#include <QFile>

#include <cstring>

#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr int ReceiveTimeoutMs = 1000;

struct Attribute
{
    quint16 type = 0;
    QByteArrayView payload;
};

// Walks the attributes in `data`; stops at the first malformed one.
template<typename F> void forEachAttribute(QByteArrayView data, F &&f)
{
    qsizetype offset = 0;
    while (offset + qsizetype(sizeof(rtattr)) <= data.size()) {
        rtattr header;
        std::memcpy(&header, data.data() + offset, sizeof header);
        if (header.rta_len < sizeof(rtattr) || offset + header.rta_len > data.size())
            return;
        const qsizetype payload = qsizetype(RTA_LENGTH(0));
        f(Attribute {quint16(header.rta_type & NLA_TYPE_MASK),
                     data.sliced(offset + payload, header.rta_len - payload)});
        offset += qsizetype(RTA_ALIGN(header.rta_len));
    }
}

std::optional<quint32> u32(QByteArrayView payload)
{
    if (payload.size() < 4)
        return std::nullopt;
    quint32 v = 0;
    std::memcpy(&v, payload.data(), 4);
    return v;
}

void readCanData(QByteArrayView data, CanLinkInfo &info)
{
    forEachAttribute(data, [&info](const Attribute &a) {
        switch (a.type) {
        case IFLA_CAN_BITTIMING:
            // struct can_bittiming starts with the bit rate.
            info.bitrate = u32(a.payload);
            break;
        case IFLA_CAN_STATE:
            if (const auto v = u32(a.payload))
                info.state = int(*v);
            break;
        case IFLA_CAN_RESTART_MS:
            info.restartMs = u32(a.payload);
            break;
        default:
            break;
        }
    });
}

} // namespace

std::optional<CanLinkInfo> CanLinkInfo::parse(QByteArrayView message)
{
    if (message.size() < qsizetype(NLMSG_LENGTH(sizeof(ifinfomsg))))
        return std::nullopt;
    nlmsghdr header;
    std::memcpy(&header, message.data(), sizeof header);
    if (header.nlmsg_type != RTM_NEWLINK || header.nlmsg_len > quint32(message.size())
        || header.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
        return std::nullopt;
    ifinfomsg ifi;
    std::memcpy(&ifi, message.data() + NLMSG_HDRLEN, sizeof ifi);
    CanLinkInfo info;
    info.up = (ifi.ifi_flags & IFF_UP) != 0;
    const qsizetype start = qsizetype(NLMSG_LENGTH(NLMSG_ALIGN(sizeof(ifinfomsg))));
    const QByteArrayView attributes = message.sliced(start, qsizetype(header.nlmsg_len) - start);
    forEachAttribute(attributes, [&info](const Attribute &a) {
        if (a.type != IFLA_LINKINFO)
            return;
        QByteArrayView data;
        forEachAttribute(a.payload, [&info, &data](const Attribute &inner) {
            if (inner.type == IFLA_INFO_KIND)
                info.kind = QString::fromLatin1(inner.payload.toByteArray().constData());
            else if (inner.type == IFLA_INFO_DATA)
                data = inner.payload;
        });
        if (info.kind == QLatin1String("can"))
            readCanData(data, info);
    });
    return info;
}

std::optional<CanLinkInfo> CanLinkInfo::query(const QString &interfaceName)
{
    const unsigned index = ::if_nametoindex(QFile::encodeName(interfaceName).constData());
    if (index == 0)
        return std::nullopt;
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return std::nullopt;
    timeval timeout {ReceiveTimeoutMs / 1000, (ReceiveTimeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    struct
    {
        nlmsghdr header;
        ifinfomsg ifi;
    } request {};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.ifi.ifi_family = AF_UNSPEC;
    request.ifi.ifi_index = int(index);

    std::optional<CanLinkInfo> result;
    if (::send(fd, &request, request.header.nlmsg_len, 0) >= 0) {
        QByteArray buffer(32768, Qt::Uninitialized);
        const ssize_t n = ::recv(fd, buffer.data(), size_t(buffer.size()), 0);
        if (n > 0)
            result = parse(QByteArrayView(buffer.constData(), qsizetype(n)));
    }
    ::close(fd);
    return result;
}

QString CanLinkInfo::stateName(int state)
{
    switch (state) {
    case ErrorActive:
        return QStringLiteral("ERROR-ACTIVE");
    case ErrorWarning:
        return QStringLiteral("ERROR-WARNING");
    case ErrorPassive:
        return QStringLiteral("ERROR-PASSIVE");
    case BusOff:
        return QStringLiteral("BUS-OFF");
    case Stopped:
        return QStringLiteral("STOPPED");
    case Sleeping:
        return QStringLiteral("SLEEPING");
    default:
        return QStringLiteral("state %1").arg(state);
    }
}
