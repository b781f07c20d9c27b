#pragma once

#include "PacedOutbox.h"
#include "SimClock.h"

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <memory>

// The device's serial line: the master side of a pseudo-terminal (the tool opens the other
// end, whose path devicePath gives), or an existing serial device. With a bit rate it paces
// both directions at 10 bits per byte: a byte from the host counts as arrived when the line
// would have carried it, and the device's bytes leave at the line's pace.
//
// On a pseudo-terminal the link also sees the tool open and close its end; a close ends the
// session. hangUp closes the device end as a pulled-out adapter would.
class SimSerialLink : public QObject
{
    Q_OBJECT

public:
    struct Config
    {
        QString existingPort; // empty: create a pseudo-terminal
        QString linkPath; // symlink to the pseudo-terminal's device end
        int baud = 0; // 0: unpaced
        qint64 hangupAfterRx = -1;
        qint64 hangupAfterTx = -1;
    };

    explicit SimSerialLink(const Config &config, QObject *parent = nullptr);
    ~SimSerialLink() override;

    bool open(QString *error);
    QString devicePath() const { return m_devicePath; }
    bool isOpen() const { return m_fd >= 0; }
    bool isPseudoTerminal() const { return m_pseudoTerminal; }
    // The tool's DTR and RTS as a null-modem cable brings them to this end: DSR and CTS.
    // False where the device has no modem lines (a pseudo-terminal).
    bool hostModemLines(bool *dtr, bool *rts) const;

    // Queues bytes that may leave the device from the given time on.
    void send(const QByteArray &bytes, SimClock::Micros at);
    // Closes the device end once everything queued before has left.
    void hangUpAfterQueued(const QString &why);
    bool allSent() const { return m_outbox->isEmpty(); }

signals:
    // Bytes from the host; byte i finished arriving at firstNs + i * perByteNs (nanoseconds
    // on the SimClock scale).
    void received(const QByteArray &bytes, qint64 firstNs, qint64 perByteNs);
    // Raw traffic for the trace, at the time it crossed the link.
    void traffic(bool fromHost, const QByteArray &bytes, SimClock::Micros at);
    void hostOpened();
    void hostClosed();
    void hungUp(const QString &why);

private:
    static constexpr quint32 HangUpTag = 1;

    bool openPseudoTerminal(QString *error);
    bool openExisting(QString *error);
    void readReady();
    void checkHost();
    void deliver(QList<PacedOutbox::Item> &&items);
    void writeOut(const QByteArray &bytes);
    void closeDevice(const QString &why);
    void removeOwnLink();

    Config m_config;
    int m_fd = -1;
    bool m_pseudoTerminal = false;
    bool m_hostPresent = false;
    QString m_devicePath;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    QTimer m_hostPoll;
    std::unique_ptr<PacedOutbox> m_outbox;
    // Line clocks in nanoseconds, so that a byte time like 86.8 us does not drift.
    qint64 m_byteNs = 0;
    qint64 m_rxFreeNs = 0;
    qint64 m_txFreeNs = 0;
    qint64 m_rxCount = 0;
    qint64 m_txCount = 0;
    bool m_hangupQueued = false;
};
