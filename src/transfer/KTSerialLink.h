#pragma once

#include "transfer/SerialLink.h"

class TKTSerial;

// SerialLink over the serial component: the main window's `Serial` in the window, a port of its
// own in the command-line tool. The component is borrowed, never owned.
class KTSerialLink : public SerialLink
{
public:
    explicit KTSerialLink(TKTSerial &serial);
    ~KTSerialLink() override;

    void setHandlers(Handlers handlers) override;
    void clearHandlers() override;
    void setDevicePath(const QString &path) override;
    void setBaudrate(int ordinal) override;
    [[nodiscard]] OpenResult open() override;
    bool isActive() const override;
    void close() override;
    qint64 write(const QByteArray &bytes) override;
    qint64 inputCount() override;
    qint64 read(char *buffer, qint64 count) override;
    void discardInput() override;
    [[nodiscard]] bool takeLineErrors(quint32 *flags) override;
    QString lastErrorText() const override;
    [[nodiscard]] ModemResult setModemLine(ModemLine line, bool on) override;

private:
    TKTSerial &m_serial;
};
