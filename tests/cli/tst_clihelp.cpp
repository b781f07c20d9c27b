#include "support/CliProcess.h"
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

// brasvik-cli's help and version: what goes where, the exit statuses, and that the options a
// command's help lists are the ones its parser takes.
class tst_CliHelp : public QObject
{
    Q_OBJECT
private slots:
    void toolHelp_data();
    void toolHelp();
    void exitStatusLines_data();
    void exitStatusLines();
    void withoutArgumentsUsageGoesToStderr();
    void version();
    void commandHelp_data();
    void commandHelp();
    void listedOptionsAreAccepted_data();
    void listedOptionsAreAccepted();
    void h86DirNamesEveryFolder();
    void notHelp_data();
    void notHelp();

private:
    using Run = CliRun;
    Run cli(const QStringList &args);

    QTemporaryDir m_dir;
};

namespace {

const QStringList Commands {"info", "convert", "download", "upload", "compare"};
const QStringList TransferOptions {"--interface",   "--port",    "--baud", "--can-bus",
                                   "--can-bitrate", "--h86-dir", "--yes",
                                   "--record",      "--no-record", "--json"};

// The lines of a help text that are wider than a terminal.
QStringList overlongLines(const QString &text)
{
    QStringList lines;
    for (const QString &line : text.split(u'\n')) {
        if (line.size() > 80)
            lines << line;
    }
    return lines;
}

} // namespace

tst_CliHelp::Run tst_CliHelp::cli(const QStringList &args)
{
    CliRunOptions options;
    // Relative paths the probes name resolve in an empty folder of the test\'s own.
    options.workingDirectory = m_dir.path();
    options.timeoutMs = 30000;
    return runCli(args, options);
}

void tst_CliHelp::toolHelp_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("--help") << QStringList {"--help"};
    QTest::newRow("-h") << QStringList {"-h"};
}

void tst_CliHelp::toolHelp()
{
    QFETCH(QStringList, args);
    const Run r = cli(args);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QString());
    QVERIFY2(r.out.startsWith("Usage: brasvik-cli COMMAND"), qPrintable(r.out));
    for (const QString &command : Commands) {
        const QRegularExpression listed(QStringLiteral("\n  %1 +\\S").arg(command));
        QVERIFY2(r.out.contains(listed), qPrintable(command));
    }
    QVERIFY(r.out.contains("--version"));
    QVERIFY(r.out.contains("Exit status:"));
    QVERIFY2(overlongLines(r.out).isEmpty(), qPrintable(overlongLines(r.out).join('\n')));
}

void tst_CliHelp::exitStatusLines_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("holds");
    QTest::newRow("0") << 0 << QStringList {"success", "doctor: nothing failed"};
    QTest::newRow("1") << 1
                       << QStringList {"bad usage or input", "image", "loaded or written",
                                       "--resume with nothing to resume", "doctor: a check failed"};
    QTest::newRow("2") << 2 << QStringList {"user break", "time-out", "error the device reported"};
    QTest::newRow("3") << 3
                       << QStringList {"refused before the transfer", "target file", "port",
                                       "boot prompt declined"};
    QTest::newRow("4") << 4 << QStringList {"compare found a difference"};
}

void tst_CliHelp::exitStatusLines()
{
    QFETCH(int, status);
    QFETCH(QStringList, holds);
    // The tool's help and the help of a transfer command list the same statuses.
    for (const QStringList &args : {QStringList {"--help"}, QStringList {"download", "--help"}}) {
        const QString help = cli(args).out;
        const qsizetype section = help.indexOf("Exit status:\n");
        QVERIFY2(section >= 0, qPrintable(help));
        // A status's text runs from its number up to the next status, continuation lines joined.
        QMap<int, QString> texts;
        int current = -1;
        for (const QString &line : help.mid(section).split(u'\n').mid(1)) {
            const QRegularExpressionMatch m = QRegularExpression("^  (\\d)  (.*)$").match(line);
            if (m.hasMatch()) {
                current = m.captured(1).toInt();
                texts[current] = m.captured(2);
            } else if (current >= 0 && line.startsWith("     ")) {
                texts[current] += u' ' + line.trimmed();
            } else {
                current = -1;
            }
        }
        QCOMPARE(texts.keys(), (QList<int> {0, 1, 2, 3, 4}));
        for (const QString &word : holds)
            QVERIFY2(texts.value(status).contains(word), qPrintable(texts.value(status)));
    }
}

void tst_CliHelp::withoutArgumentsUsageGoesToStderr()
{
    const Run r = cli({});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.out, QString());
    QVERIFY(r.err.startsWith("Usage: brasvik-cli"));
}

void tst_CliHelp::version()
{
    const Run r = cli({"--version"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QStringLiteral("brasvik-cli " BRASVIK_VERSION "\n"));
    QCOMPARE(r.err, QString());
}

void tst_CliHelp::commandHelp_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("options");
    const QStringList device {"--device"};
    const QHash<QString, QStringList> options {
        {"info", device},
        {"convert", device},
        {"download", QStringList {"--device", "--erase"} + TransferOptions},
        {"upload", device + TransferOptions},
        {"compare", device + TransferOptions},
    };
    for (const QString &command : Commands) {
        const QByteArray name = command.toLatin1();
        QTest::newRow((name + " --help").constData())
            << command << QStringList {command, "--help"} << options.value(command);
        QTest::newRow((name + " -h").constData())
            << command << QStringList {command, "-h"} << QStringList();
        // Asked for among other arguments, even ones that would be refused.
        QTest::newRow((name + " among arguments").constData())
            << command << QStringList {command, "image.h86", "--bogus", "-h", "x"} << QStringList();
        QTest::newRow(("--help " + name).constData())
            << command << QStringList {"--help", command} << QStringList();
    }
}

void tst_CliHelp::commandHelp()
{
    QFETCH(QString, command);
    QFETCH(QStringList, args);
    QFETCH(QStringList, options);
    const Run r = cli(args);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QString());
    QVERIFY2(r.out.startsWith("Usage: brasvik-cli " + command + ' '), qPrintable(r.out));
    QVERIFY2(overlongLines(r.out).isEmpty(), qPrintable(overlongLines(r.out).join('\n')));
    for (const QString &option : options) {
        const QRegularExpression listed("\\s" + QRegularExpression::escape(option) + "\\s");
        QVERIFY2(r.out.contains(listed), qPrintable(option));
    }
}

void tst_CliHelp::listedOptionsAreAccepted_data()
{
    QTest::addColumn<QString>("command");
    for (const QString &command : Commands)
        QTest::newRow(qPrintable(command)) << command;
}

void tst_CliHelp::listedOptionsAreAccepted()
{
    QFETCH(QString, command);
    // The exit statuses may name the options of other commands.
    const QString help = cli({command, "--help"}).out.section("Exit status:", 0, 0);
    QStringList listed;
    // Long options anywhere, one-letter ones where a line of the option list starts.
    const QRegularExpression option("(?:^|\\s)(--[a-z0-9-]+)|^ +(-[a-zA-Z])(?=[\\s,])",
                                    QRegularExpression::MultilineOption);
    for (auto it = option.globalMatch(help); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const QString name = m.captured(1) + m.captured(2);
        if (name != "--help" && name != "-h" && !listed.contains(name))
            listed << name;
    }
    QVERIFY(!listed.isEmpty());
    // Without the positional arguments every command stops at the usage check, before any file
    // or port is touched; what counts is that the parser knows the option.
    for (const QString &name : listed) {
        const Run r = cli({command, name, "x"});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(!r.err.contains("unknown option"), qPrintable(name + ": " + r.err));
    }
}

void tst_CliHelp::h86DirNamesEveryFolder()
{
    // --h86-dir replaces a search of three folders: its help names them all.
    for (const char *command : {"download", "upload", "compare", "doctor"}) {
        const QString help = cli({command, "--help"}).out.simplified();
        for (const char *folder :
             {"H86 beside the program", "Halvero/BrasvikV6/H86", "brasvikv6/H86"})
            QVERIFY2(help.contains(QLatin1String(folder)), qPrintable(command + (": " + help)));
    }
}

void tst_CliHelp::notHelp_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    // After "--" a "--help" is a file name.
    QTest::newRow("after --") << QStringList {"info", "--", "--help"} << "";
    QTest::newRow("unknown command") << QStringList {"flash", "--help"} << "unknown command";
    QTest::newRow("unknown tool option") << QStringList {"--verbose"} << "unknown option --verbose";
    QTest::newRow("help with a value") << QStringList {"info", "--help=1"} << "--help";
    // Not taken for a second IMAGE.
    QTest::newRow("unknown one-letter option")
        << QStringList {"download", "img.h86", "--device", "46xx", "-b", "115200"}
        << "brasvik-cli: unknown option -b\n";
}

void tst_CliHelp::notHelp()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    CLI_VERIFY_REFUSED(cli(args), message);
}

QTEST_GUILESS_MAIN(tst_CliHelp)
#include "tst_clihelp.moc"
