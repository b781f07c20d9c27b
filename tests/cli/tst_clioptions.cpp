#include "cli/CliOptions.h"

#include <QtTest>

// The options parser every command shares: what it takes as an option, what as an argument,
// and what it refuses.
class tst_CliOptions : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
};

void tst_CliOptions::parse_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error"); // empty: accepted
    QTest::addColumn<QStringList>("positional");
    QTest::addColumn<QStringList>("options"); // "name" is set, "name=value" has that value
    QTest::newRow("-- ends the options")
        << QStringList {"--yes", "--", "-img.h86", "--device"} << QString()
        << QStringList {"-img.h86", "--device"} << QStringList {"yes"};
    QTest::newRow("a lone - is an argument") << QStringList {"-", "--device=46xx"} << QString()
                                             << QStringList {"-"} << QStringList {"device=46xx"};
    QTest::newRow("one-letter forms")
        << QStringList {"-q", "-p", "/dev/ttyUSB0", "x"} << QString() << QStringList {"x"}
        << QStringList {"quiet", "port=/dev/ttyUSB0"};
    QTest::newRow("a value may start with -")
        << QStringList {"--port", "-x"} << QString() << QStringList() << QStringList {"port=-x"};
    QTest::newRow("an optional value never takes the next argument")
        << QStringList {"--diff", "all"} << QString() << QStringList {"all"}
        << QStringList {"diff="};
    QTest::newRow("unknown one-letter option")
        << QStringList {"x", "-y"} << "unknown option -y" << QStringList() << QStringList();
    QTest::newRow("one-letter forms do not bundle")
        << QStringList {"-qp", "COM2"} << "unknown option -qp" << QStringList() << QStringList();
    QTest::newRow("unknown option with a value")
        << QStringList {"--fast=1"} << "unknown option --fast" << QStringList() << QStringList();
    QTest::newRow("flag with a value") << QStringList {"--yes=no"} << "option --yes takes no value"
                                       << QStringList() << QStringList();
    QTest::newRow("value missing")
        << QStringList {"x", "-p"} << "option -p needs a value" << QStringList() << QStringList();
}

void tst_CliOptions::parse()
{
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    CliOptions parser({"device", "port|p"}, {"yes", "quiet|q"}, {"diff"});
    QCOMPARE(parser.parse(args), error.isEmpty());
    QCOMPARE(parser.error(), error);
    if (!error.isEmpty())
        return;
    QTEST(parser.positional(), "positional");
    QFETCH(QStringList, options);
    for (const QString &option : options) {
        const QString name = option.section(u'=', 0, 0);
        QVERIFY2(parser.isSet(name), qPrintable(name));
        if (option.contains(u'='))
            QCOMPARE(parser.value(name), option.section(u'=', 1));
    }
}

QTEST_GUILESS_MAIN(tst_CliOptions)
#include "tst_clioptions.moc"
