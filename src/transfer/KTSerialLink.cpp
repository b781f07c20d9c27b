#include "transfer/KTSerialLink.h"

#include "base/SettingsStore.h"
#include "comm/KTSerial.h"

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcTransfer)

KTSerialLink::KTSerialLink(TKTSerial &serial) : m_serial(serial) { }

KTSerialLink::~KTSerialLink() = default;

void KTSerialLink::setHandlers(Handlers handlers)
{
    if (handlers.rxChar)
        m_serial.OnRxChar = [fn = handlers.rxChar](TKTSerial *) {
            fn();
        };
    if (handlers.txEmpty)
        m_serial.OnTxEmpty = [fn = handlers.txEmpty](TKTSerial *) {
            fn();
        };
    if (handlers.error)
        m_serial.OnError = [fn = handlers.error](TKTSerial *) {
            fn();
        };
}

void KTSerialLink::clearHandlers()
{
    m_serial.OnRxChar = TNotifyEvent::Function();
    m_serial.OnTxEmpty = TNotifyEvent::Function();
    m_serial.OnError = TNotifyEvent::Function();
}

void KTSerialLink::setBaudrate(int ordinal)
{
    try {
        m_serial.SetBaudrate(TBaudrate(qBound(0, ordinal, TBaudrateCount - 1)));
    } catch (const std::exception &e) {
        // Only an open port applies the rate at once; the next Open applies it again.
        qCWarning(lcTransfer) << "Baud rate not applied:" << e.what();
    }
}

SerialLink::OpenResult KTSerialLink::open()
{
    // A component that was given no path opens the one the settings have for its port now,
    // for this opening only, until every caller hands the path in.
    const bool fromSettings = m_serial.DevicePath().isEmpty();
    if (fromSettings)
        m_serial.SetDevicePath(SettingsStore::comPortDevicePath(int(m_serial.PortName())));
    try {
        m_serial.Open();
    } catch (const std::exception &e) {
        if (fromSettings)
            m_serial.SetDevicePath(QString());
        return {OpenStatus::Raised, QString::fromUtf8(e.what())};
    }
    if (fromSettings)
        m_serial.SetDevicePath(QString());
    if (!m_serial.Active())
        return {OpenStatus::NotActive, QString()};
    return {OpenStatus::Opened, QString()};
}

bool KTSerialLink::isActive() const
{
    return m_serial.Active();
}

void KTSerialLink::close()
{
    try {
        m_serial.Close();
    } catch (const std::exception &e) {
        // The component is closed all the same; nothing is left for the transfer to do.
        qCWarning(lcTransfer) << "Closing the port:" << e.what();
    }
}

qint64 KTSerialLink::write(const QByteArray &bytes)
{
    return m_serial.Write(bytes.constData(), quint32(bytes.size()));
}

// While the rx handler is installed the component's worker has read the bytes before the
// event, so both answer from them without a system call.
qint64 KTSerialLink::inputCount()
{
    return m_serial.InputCount();
}

qint64 KTSerialLink::read(char *buffer, qint64 count)
{
    return m_serial.Read(buffer, quint32(qMax<qint64>(count, 0)));
}

void KTSerialLink::discardInput()
{
    // A driver that refuses leaves its bytes to the answer checks; nothing more can be done.
    if (!m_serial.DiscardInput())
        qCWarning(lcTransfer) << "Input not discarded:" << LastErrorText();
}

bool KTSerialLink::takeLineErrors(quint32 *flags)
{
    return m_serial.ClearCommError(flags);
}

QString KTSerialLink::lastErrorText() const
{
    return LastErrorText();
}

SerialLink::ModemResult KTSerialLink::setModemLine(ModemLine line, bool on)
{
    return m_serial.SetModemLine(line, on);
}
