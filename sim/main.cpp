#include "SimClock.h"
#include "SimOptions.h"
#include "SimRunner.h"
#include "StandInProgram.h"

#include <QCoreApplication>
#include <QDir>
#include <QSaveFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int signalNumber)
{
    const char byte = signalNumber == SIGUSR1 ? 2 : 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

int makeH86(const QString &directory)
{
    if (!QDir().mkpath(directory)) {
        fprintf(stderr, "brasvik-sim: cannot create %s\n", qPrintable(directory));
        return 1;
    }
    for (const StandInProgram &program : StandInProgram::catalogue()) {
        QSaveFile file(QDir(directory).filePath(program.fileName));
        if (!file.open(QIODevice::WriteOnly) || file.write(program.h86Text().toLatin1()) < 0
            || !file.commit()) {
            fprintf(stderr, "brasvik-sim: cannot write %s: %s\n", qPrintable(file.fileName()),
                    qPrintable(file.errorString()));
            return 1;
        }
    }
    printf("brasvik-sim: wrote %d stand-in target programs to %s\n",
           int(StandInProgram::catalogue().size()), qPrintable(directory));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brasvik-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BRASVIK_VERSION));

    QString error;
    const std::optional<SimOptions> options = SimOptions::parse(app.arguments(), &error);
    if (!options) {
        fprintf(stderr, "brasvik-sim: %s\n", qPrintable(error));
        return 1;
    }
    if (!options->makeH86Dir.isEmpty())
        return makeH86(options->makeH86Dir);

    SimClock::makeTimersPrecise();
    SimRunner runner(*options);

    // SIGINT and SIGTERM end the run in order: memory saved, trace flushed, summary printed;
    // SIGUSR1 swaps the next unit in.
    if (pipe(g_signalPipe) == 0) {
        auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&runner] {
            char byte = 0;
            [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
            if (byte == 2)
                runner.swapUnit();
            else
                runner.stop();
        });
        struct sigaction action
        {
        };
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGUSR1, &action, nullptr); // the next of --units
    }
    // A tool that closes its end while the device writes must not kill the simulator.
    signal(SIGPIPE, SIG_IGN);

    if (!runner.start(&error)) {
        fprintf(stderr, "brasvik-sim: %s\n", qPrintable(error));
        return 1;
    }
    return app.exec();
}
