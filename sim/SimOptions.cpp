#include "SimOptions.h"

#include "ModemLinePattern.h"

#include <QCommandLineParser>
#include <QUrl>

namespace {

bool parseNumber(const QString &text, qint64 *value, qint64 min, qint64 max)
{
    bool ok = false;
    QString t = text.trimmed().toLower();
    qint64 scale = 1;
    if (t.endsWith(QLatin1Char('k'))) {
        scale = 1000;
        t.chop(1);
    }
    const qint64 v
        = t.startsWith(QLatin1String("0x")) ? t.mid(2).toLongLong(&ok, 16) : t.toLongLong(&ok, 10);
    if (!ok || v * scale < min || v * scale > max)
        return false;
    *value = v * scale;
    return true;
}

} // namespace

std::optional<SimOptions> SimOptions::parse(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated controller for BrasvikV6: plays the device side of downloads and uploads "
        "on a pseudo-terminal (or a serial device) and a virtual CAN bus."));
    parser.addHelpOption();
    parser.addVersionOption();

    auto opt = [&](const QString &name, const QString &help, const QString &value = {}) {
        parser.addOption(value.isEmpty() ? QCommandLineOption(name, help)
                                         : QCommandLineOption(name, help, value));
    };
    opt(QStringLiteral("device"), QStringLiteral("46xx (default) or 4610."),
        QStringLiteral("type"));
    opt(QStringLiteral("id"), QStringLiteral("Identification byte in hex (default C5)."),
        QStringLiteral("hex"));
    opt(QStringLiteral("memory"),
        QStringLiteral("Memory file: loaded when it exists, saved after each transfer."),
        QStringLiteral("file"));
    opt(QStringLiteral("erase-ms"), QStringLiteral("Time an erase takes (default 100)."),
        QStringLiteral("ms"));
    opt(QStringLiteral("port"),
        QStringLiteral("Use an existing serial device instead of a pseudo-terminal."),
        QStringLiteral("path"));
    opt(QStringLiteral("link"), QStringLiteral("Symlink to the pseudo-terminal's device end."),
        QStringLiteral("path"));
    opt(QStringLiteral("baud"),
        QStringLiteral("Pace the serial line at this bit rate (10 bits per byte)."),
        QStringLiteral("rate"));
    opt(QStringLiteral("boot-lines"),
        QStringLiteral("On a serial device (--port): accept the boot byte only after the tool's "
                       "DTR/RTS went through this sequence (dtr=0|1, rts=0|1, wait=MS steps). "
                       "Ignored on a pseudo-terminal."),
        QStringLiteral("seq"));
    opt(QStringLiteral("can"),
        QStringLiteral("Join a virtual CAN bus: virtualcan:can0 or "
                       "virtualcan:tcp://127.0.0.1:PORT/can0 (PORT 0: pick one)."),
        QStringLiteral("bus"));
    opt(QStringLiteral("can-channel"),
        QStringLiteral("The device's CAN port on the bus: 1 or 2 (default either)."),
        QStringLiteral("n"));
    opt(QStringLiteral("can-bitrate"),
        QStringLiteral("Bit rate of the bus; CAN programs for another rate are refused."),
        QStringLiteral("rate"));
    opt(QStringLiteral("can-pace"), QStringLiteral("Pace CAN frames at the bus bit rate."));
    opt(QStringLiteral("can-client"),
        QStringLiteral("Join a bus server that someone else runs instead of hosting it."));
    opt(QStringLiteral("trace"), QStringLiteral("Write every byte and CAN message to this file."),
        QStringLiteral("file"));
    opt(QStringLiteral("one-shot"), QStringLiteral("End after one transfer and print a summary."));
    opt(QStringLiteral("exit-after"), QStringLiteral("End after this many seconds in any case."),
        QStringLiteral("s"));
    opt(QStringLiteral("verbose"), QStringLiteral("Log every device event on stderr."));
    opt(QStringLiteral("make-h86"),
        QStringLiteral("Write the stand-in target programs into a directory and exit."),
        QStringLiteral("dir"));
    opt(QStringLiteral("silent-from"),
        QStringLiteral("Answer nothing from this step on (id, loader, program, start-sector, "
                       "end-sector, erase, block:N, end)."),
        QStringLiteral("step"));
    opt(QStringLiteral("erase-fail"), QStringLiteral("The erase fails (answer 0xA5)."));
    opt(QStringLiteral("refuse-block"),
        QStringLiteral("Refuse download block n with 0xA5 (once, or --refuse-count times)."),
        QStringLiteral("n"));
    opt(QStringLiteral("refuse-count"), QStringLiteral("How many times --refuse-block refuses."),
        QStringLiteral("k"));
    opt(QStringLiteral("compare-error"),
        QStringLiteral("Report a compare error (0x5A) for download block n."), QStringLiteral("n"));
    opt(QStringLiteral("bad-check"),
        QStringLiteral("Send upload block n with a wrong check byte (once)."), QStringLiteral("n"));
    opt(QStringLiteral("short-block"), QStringLiteral("Cut upload block n short (once)."),
        QStringLiteral("n"));
    opt(QStringLiteral("hangup-after-rx"),
        QStringLiteral("Close the device end after n bytes from the host."), QStringLiteral("n"));
    opt(QStringLiteral("hangup-after-tx"),
        QStringLiteral("Close the device end after n bytes to the host."), QStringLiteral("n"));
    opt(QStringLiteral("stray"),
        QStringLiteral("Send stray bytes after the answer at this step (or at startup)."),
        QStringLiteral("step"));
    opt(QStringLiteral("alter-byte"),
        QStringLiteral("After the first complete download, flip bit 0 of the flash byte at "
                       "this address (hex)."),
        QStringLiteral("addr"));
    opt(QStringLiteral("units"),
        QStringLiteral("Memory files of the units that take the device's place, one at each "
                       "SIGUSR1 (comma-separated)."),
        QStringLiteral("files"));
    opt(QStringLiteral("stray-bytes"), QStringLiteral("The stray bytes in hex (default E1)."),
        QStringLiteral("hex"));
    opt(QStringLiteral("stray-delay"),
        QStringLiteral("Delay of the stray bytes after the answer (default 0: same write)."),
        QStringLiteral("ms"));

    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty()) {
        *error
            = QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first());
        return std::nullopt;
    }

    SimOptions o;
    QString problem;
    auto number = [&](const char *name, qint64 min, qint64 max, auto *target) {
        const QString key = QString::fromLatin1(name);
        if (!parser.isSet(key) || !problem.isEmpty())
            return;
        qint64 v = 0;
        if (!parseNumber(parser.value(key), &v, min, max))
            problem = QStringLiteral("--%1: expected a number from %2 to %3, got \"%4\"")
                          .arg(key)
                          .arg(min)
                          .arg(max)
                          .arg(parser.value(key));
        else
            *target = decltype(+*target)(v);
    };
    auto step = [&](const char *name, std::optional<FaultStep> *target) {
        const QString key = QString::fromLatin1(name);
        if (!parser.isSet(key) || !problem.isEmpty())
            return;
        *target = FaultStep::parse(parser.value(key));
        if (!*target)
            problem = QStringLiteral("--%1: unknown step \"%2\"").arg(key, parser.value(key));
    };

    if (parser.isSet(QStringLiteral("device"))) {
        const QString d = parser.value(QStringLiteral("device")).toLower();
        if (d == QLatin1String("46xx"))
            o.model = DeviceMemory::Model::Vmc46xx;
        else if (d == QLatin1String("4610"))
            o.model = DeviceMemory::Model::Board4610;
        else
            problem = QStringLiteral("--device: expected 46xx or 4610, got \"%1\"").arg(d);
    }
    if (parser.isSet(QStringLiteral("id"))) {
        bool ok = false;
        QString text = parser.value(QStringLiteral("id"));
        if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
            text = text.mid(2);
        const uint v = text.toUInt(&ok, 16);
        if (!ok || v > 0xFF)
            problem = QStringLiteral("--id: expected a byte in hex, got \"%1\"").arg(text);
        o.idByte = quint8(v);
    }
    o.memoryFile = parser.value(QStringLiteral("memory"));
    number("erase-ms", 0, 600000, &o.eraseMs);
    o.serialPort = parser.value(QStringLiteral("port"));
    o.linkPath = parser.value(QStringLiteral("link"));
    number("baud", 0, 10000000, &o.baud);
    if (parser.isSet(QStringLiteral("boot-lines")) && problem.isEmpty()) {
        o.bootLines = parser.value(QStringLiteral("boot-lines"));
        QString why;
        if (!ModemLinePattern::parse(o.bootLines, &why))
            problem = QStringLiteral("--boot-lines: %1").arg(why);
    }
    o.canBus = parser.value(QStringLiteral("can"));
    number("can-channel", 0, 2, &o.canChannel);
    number("can-bitrate", 0, 1000000, &o.canBitrate);
    o.canPace = parser.isSet(QStringLiteral("can-pace"));
    o.canClient = parser.isSet(QStringLiteral("can-client"));
    o.traceFile = parser.value(QStringLiteral("trace"));
    o.oneShot = parser.isSet(QStringLiteral("one-shot"));
    number("exit-after", 0, 86400, &o.exitAfterSeconds);
    o.verbose = parser.isSet(QStringLiteral("verbose"));
    o.makeH86Dir = parser.value(QStringLiteral("make-h86"));
    step("silent-from", &o.silentFrom);
    o.eraseFails = parser.isSet(QStringLiteral("erase-fail"));
    number("refuse-block", 1, 1 << 24, &o.refuseBlock);
    number("refuse-count", 1, 1 << 24, &o.refuseCount);
    number("compare-error", 1, 1 << 24, &o.compareErrorBlock);
    number("bad-check", 1, 1 << 24, &o.badCheckBlock);
    number("short-block", 1, 1 << 24, &o.shortBlock);
    number("hangup-after-rx", 0, qint64(1) << 40, &o.hangupAfterRx);
    number("hangup-after-tx", 0, qint64(1) << 40, &o.hangupAfterTx);
    step("stray", &o.strayAt);
    if (parser.isSet(QStringLiteral("stray-bytes"))) {
        const QByteArray hex = parser.value(QStringLiteral("stray-bytes")).toLatin1();
        o.strayBytes = QByteArray::fromHex(hex);
        if (o.strayBytes.isEmpty() || o.strayBytes.toHex().toUpper() != hex.toUpper())
            problem = QStringLiteral("--stray-bytes: expected hex digits, got \"%1\"")
                          .arg(QString::fromLatin1(hex));
    }
    number("stray-delay", 0, 60000, &o.strayDelayMs);
    if (parser.isSet(QStringLiteral("alter-byte"))) {
        bool ok = false;
        o.alterByte = parser.value(QStringLiteral("alter-byte")).toLongLong(&ok, 16);
        if (!ok || o.alterByte < 0 || o.alterByte >= DeviceMemory::FullFlashSize)
            problem = QStringLiteral("--alter-byte: expected a flash address in hex, got \"%1\"")
                          .arg(parser.value(QStringLiteral("alter-byte")));
    }
    if (parser.isSet(QStringLiteral("units")))
        o.units = parser.value(QStringLiteral("units")).split(u',', Qt::SkipEmptyParts);

    if (problem.isEmpty() && !o.canBus.isEmpty()) {
        if (!o.canBus.startsWith(QLatin1String("virtualcan:")))
            problem = QStringLiteral("--can: only virtualcan buses can be simulated, got \"%1\"")
                          .arg(o.canBus);
        else if (o.canPace && o.canBitrate == 0)
            problem = QStringLiteral("--can-pace needs --can-bitrate");
    }
    if (problem.isEmpty() && o.model == DeviceMemory::Model::Board4610 && !o.canBus.isEmpty())
        problem = QStringLiteral("the 4610 board has no CAN interface");
    if (problem.isEmpty() && !o.serialPort.isEmpty() && !o.linkPath.isEmpty())
        problem = QStringLiteral("--link only applies to a pseudo-terminal, not to --port");

    if (!problem.isEmpty()) {
        *error = problem;
        return std::nullopt;
    }
    return o;
}

QString SimOptions::faultSummary() const
{
    QStringList f;
    if (idByte != 0xC5 && idByte != 0xD5)
        f << QStringLiteral("identification byte %1").arg(QString::number(idByte, 16).toUpper());
    if (silentFrom)
        f << QStringLiteral("silent from %1").arg(silentFrom->text());
    if (eraseFails)
        f << QStringLiteral("erase fails");
    if (refuseBlock)
        f << QStringLiteral("refuse block %1 x%2").arg(refuseBlock).arg(refuseCount);
    if (compareErrorBlock)
        f << QStringLiteral("compare error at block %1").arg(compareErrorBlock);
    if (alterByte >= 0)
        f << QStringLiteral("byte %1h altered after the download")
                 .arg(alterByte, 6, 16, QLatin1Char('0'));
    if (badCheckBlock)
        f << QStringLiteral("bad check byte in block %1").arg(badCheckBlock);
    if (shortBlock)
        f << QStringLiteral("block %1 cut short").arg(shortBlock);
    if (hangupAfterRx >= 0)
        f << QStringLiteral("hang-up after %1 bytes received").arg(hangupAfterRx);
    if (hangupAfterTx >= 0)
        f << QStringLiteral("hang-up after %1 bytes sent").arg(hangupAfterTx);
    if (strayAt)
        f << QStringLiteral("stray bytes %1 at %2")
                 .arg(QString::fromLatin1(strayBytes.toHex().toUpper()), strayAt->text());
    return f.isEmpty() ? QStringLiteral("none") : f.join(QStringLiteral(", "));
}
