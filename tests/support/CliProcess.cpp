#include "support/CliProcess.h"

#include <QDir>
#include <QProcess>

QString cliPath()
{
    return QDir(qEnvironmentVariable("BRASVIK_BIN_DIR")).filePath(QStringLiteral("brasvik-cli"));
}

CliRun runCli(const QStringList &args, const CliRunOptions &options)
{
    QProcess p;
    if (!options.workingDirectory.isEmpty())
        p.setWorkingDirectory(options.workingDirectory);
    if (!options.environment.isEmpty())
        p.setProcessEnvironment(options.environment);
    if (options.childSetup)
        p.setChildProcessModifier(options.childSetup);
    p.start(cliPath(), args);
    if (!p.waitForStarted())
        return {};
    if (!options.input.isEmpty())
        p.write(options.input);
    if (options.closeInput)
        p.closeWriteChannel();
    CliRun run;
    if (!p.waitForFinished(options.timeoutMs)) {
        p.kill();
        p.waitForFinished();
    } else if (p.exitStatus() == QProcess::NormalExit) {
        run.exitCode = p.exitCode();
    }
    run.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(p.readAllStandardError());
    return run;
}
