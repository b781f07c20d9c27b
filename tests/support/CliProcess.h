#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <functional>

// Runs brasvik-cli (from BRASVIK_BIN_DIR) as a child process and collects what it printed.
struct CliRun
{
    int exitCode = -1; // -1: did not start, crashed or ran past the time limit
    QString out;
    QString err;
};

struct CliRunOptions
{
    QByteArray input; // written to stdin first
    bool closeInput = true; // then stdin is closed (end of input), unless this is false
    QString workingDirectory;
    QProcessEnvironment environment; // empty: the test's own
    std::function<void()> childSetup; // runs in the child before exec
    int timeoutMs = 90000; // then the child is killed
};

QString cliPath();
CliRun runCli(const QStringList &args, const CliRunOptions &options = {});

// In a test function: `run` (evaluated once) was refused as a usage error, with status 1,
// nothing on stdout and `message` in what it wrote to stderr.
#define CLI_VERIFY_REFUSED(run, message)                                                           \
    do {                                                                                           \
        const CliRun refused = (run);                                                              \
        QCOMPARE(refused.exitCode, 1);                                                             \
        QCOMPARE(refused.out, QString());                                                          \
        QVERIFY2(refused.err.contains(message), qPrintable(refused.err));                          \
    } while (false)
