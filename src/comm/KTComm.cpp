#include "comm/KTComm.h"

#include <array>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::array<int, TBaudrateCount> kBitRates {1200,  2400,  4800,  9600,  19200,
                                                     28800, 38400, 57600, 115200};

// strerror_r comes in two flavours; both are handled without caring which one glibc gives us.
[[maybe_unused]] const char *errorMessage(int rc, const char *buffer)
{
    return rc == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char *errorMessage(const char *text, const char *)
{
    return text;
}

QString errnoText(int error)
{
    if (error == 0)
        return {};
    std::array<char, 1024> buffer {};
    const char *text = errorMessage(strerror_r(error, buffer.data(), buffer.size()), buffer.data());
    return text ? QString::fromLocal8Bit(text) : QString();
}

} // namespace

int BaudrateValue(TBaudrate baudrate)
{
    const auto i = static_cast<size_t>(baudrate);
    return i < kBitRates.size() ? kBitRates[i] : 9600;
}

bool BaudrateFromValue(int bitsPerSecond, TBaudrate *baudrate)
{
    for (size_t i = 0; i < kBitRates.size(); ++i) {
        if (kBitRates[i] == bitsPerSecond) {
            if (baudrate)
                *baudrate = static_cast<TBaudrate>(i);
            return true;
        }
    }
    return false;
}

quint8 ParityLineValue(TParityBit parity)
{
    switch (parity) {
    case TParityBit::None:
        return 0;
    case TParityBit::Even:
        return 2;
    case TParityBit::Odd:
        return 1;
    }
    return 0;
}

quint8 StopBitLineValue(TStopBit stopBits)
{
    return stopBits == sb_2 ? 2 : 0;
}

quint8 DataBitLineValue(TDataBit dataBits)
{
    return dataBits == db_7 ? 7 : 8;
}

QString CommPortDeviceName(TPort port)
{
    return QStringLiteral("COM%1").arg(int(port) + 1);
}

QString CommPortDisplayName(TPort port)
{
    return QStringLiteral("COM %1").arg(int(port) + 1);
}

QString SystemErrorText()
{
    return errnoText(errno);
}

QString LastErrorText()
{
    const QString text = errnoText(errno);
    return text.isEmpty() ? QStringLiteral("Unknown Error!") : text;
}

QString CommErrorText(quint32 flags)
{
    struct Sentence
    {
        quint32 flag;
        const char *text;
    };
    static constexpr Sentence sentences[] = {
        {CE_BREAK, "The hardware detected a break condition."},
        {CE_FRAME, "The hardware detected a framing error."},
        {CE_IOE, "An I/O error occurred during communications with the interface."},
        {CE_MODE, "Invalid interface handle or the requested mode is not supported."},
        {CE_OVERRUN, "A buffer overrun has occurred. The next character is lost."},
        {CE_RXOVER, "An input buffer overflow has occurred."},
        {CE_RXPARITY, "The hardware detected a parity error."},
        {CE_TXFULL, "An output buffer overflow has occurred."},
    };
    QString text;
    for (const Sentence &s : sentences) {
        if (flags & s.flag) {
            text += QLatin1String(s.text);
            text += QLatin1String("\r\n");
        }
    }
    return text;
}

ECommHandleError::ECommHandleError(const QString &message)
    : std::runtime_error(message.toStdString())
{ }

ECommInitError::ECommInitError(const QString &message) : std::runtime_error(message.toStdString())
{ }

ESystemError::ESystemError(const QString &message) : std::runtime_error(message.toStdString()) { }
