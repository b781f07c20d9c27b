#include "comm/CanFrameMapping.h"

#include <algorithm>
#include <cstring>

namespace CanFrameMapping {

namespace {

// Controller status bits in byte 1 of an error frame (the kernel's CAN error frame layout).
constexpr quint8 kRxOverflow = 0x01;
constexpr quint8 kTxOverflow = 0x02;
constexpr quint8 kRxWarning = 0x04;
constexpr quint8 kTxWarning = 0x08;
constexpr quint8 kRxPassive = 0x10;
constexpr quint8 kTxPassive = 0x20;

} // namespace

QCanBusFrame toFrame(const TCANMsg &msg)
{
    const int len = std::min<int>(msg.Len, 8);
    QCanBusFrame frame(msg.ID, QByteArray(reinterpret_cast<const char *>(msg.Data), len));
    frame.setExtendedFrameFormat((msg.MsgType & MSGTYPE_EXTENDED) != 0);
    if (msg.MsgType & MSGTYPE_RTR)
        frame.setFrameType(QCanBusFrame::RemoteRequestFrame);
    return frame;
}

bool fromFrame(const QCanBusFrame &frame, TCANMsg *msg)
{
    *msg = {};
    switch (frame.frameType()) {
    case QCanBusFrame::DataFrame:
    case QCanBusFrame::RemoteRequestFrame: {
        msg->ID = frame.frameId();
        msg->MsgType = (frame.hasExtendedFrameFormat() ? MSGTYPE_EXTENDED : 0)
            | (frame.frameType() == QCanBusFrame::RemoteRequestFrame ? MSGTYPE_RTR : 0);
        const QByteArray payload = frame.payload();
        msg->Len = quint8(std::min<qsizetype>(payload.size(), 8));
        std::memcpy(msg->Data, payload.constData(), msg->Len);
        return true;
    }
    case QCanBusFrame::ErrorFrame: {
        const quint8 code = statusCodeForErrorFrame(frame);
        if (code == 0)
            return false;
        *msg = statusMessage(code);
        return true;
    }
    default:
        return false;
    }
}

TCANMsg statusMessage(quint8 code)
{
    TCANMsg msg;
    msg.MsgType = MSGTYPE_STATUS;
    msg.Len = 4;
    msg.Data[3] = code;
    return msg;
}

quint8 statusCodeForErrorFrame(const QCanBusFrame &frame)
{
    const QCanBusFrame::FrameErrors errors = frame.error();
    if (errors & QCanBusFrame::BusOffError)
        return quint8(CAN_ERR_BUSOFF);
    if (errors & QCanBusFrame::ControllerError) {
        const QByteArray payload = frame.payload();
        const quint8 status = payload.size() > 1 ? quint8(payload.at(1)) : 0;
        if (status & (kRxOverflow | kTxOverflow))
            return quint8(CAN_ERR_OVERRUN);
        if (status & (kRxPassive | kTxPassive))
            return quint8(CAN_ERR_BUSHEAVY);
        if (status & (kRxWarning | kTxWarning))
            return quint8(CAN_ERR_BUSLIGHT);
    }
    return 0;
}

QString describeErrorFrame(const QCanBusFrame &frame)
{
    return QStringLiteral("CAN error frame, flags 0x%1, data %2 (%3)")
        .arg(quint32(frame.error()), 0, 16)
        .arg(QString::fromLatin1(frame.payload().toHex(' ')))
        .arg(statusCodeForErrorFrame(frame) ? QStringLiteral("reported")
                                            : QStringLiteral("not a dongle state, ignored"));
}

} // namespace CanFrameMapping
