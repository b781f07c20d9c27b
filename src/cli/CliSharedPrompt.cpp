#include "cli/CliSharedPrompt.h"

#include "cli/CliCommand.h"
#include "cli/CliTransferRunner.h"

#include <QSocketNotifier>

#include <algorithm>
#include <utility>

#include <unistd.h>

CliSharedPrompt::CliSharedPrompt(QObject *parent) : QObject(parent) { }

CliSharedPrompt::~CliSharedPrompt()
{
    dropNotifier();
}

void CliSharedPrompt::wait(const void *key, const QString &label, Answer answer)
{
    if (m_closed || isWaiting(key))
        return;
    m_waiting.append({key, label, std::move(answer)});
}

void CliSharedPrompt::forget(const void *key)
{
    m_waiting.removeIf([key](const Waiting &w) { return w.key == key; });
}

bool CliSharedPrompt::isWaiting(const void *key) const
{
    return std::any_of(m_waiting.cbegin(), m_waiting.cend(),
                       [key](const Waiting &w) { return w.key == key; });
}

void CliSharedPrompt::askIf(bool everyRunningWaits)
{
    if (m_closed || m_notifier || m_waiting.isEmpty() || !everyRunningWaits)
        return;
    QStringList labels;
    for (const Waiting &w : std::as_const(m_waiting))
        labels << w.label;
    printErr(text(labels));
    printErr(QStringLiteral("Press Enter to continue, Ctrl+C to cancel."));
    m_notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CliSharedPrompt::onStdinReadable);
}

void CliSharedPrompt::clear()
{
    dropNotifier();
    m_waiting.clear();
}

void CliSharedPrompt::close()
{
    m_closed = true;
    clear();
}

void CliSharedPrompt::onStdinReadable()
{
    const PromptAnswer answer = readPromptAnswer();
    if (answer == PromptAnswer::None)
        return;
    dropNotifier();
    if (answer == PromptAnswer::EndOfInput)
        printErr(bootPromptDeclinedText());
    // An answer may end a session, which may forget or add waiting devices meanwhile.
    const QList<Waiting> waiting = std::exchange(m_waiting, {});
    for (const Waiting &w : waiting)
        w.answer(answer == PromptAnswer::Enter);
}

void CliSharedPrompt::dropNotifier()
{
    if (!m_notifier)
        return;
    m_notifier->setEnabled(false);
    m_notifier->deleteLater();
    m_notifier = nullptr;
}

QString CliSharedPrompt::text(const QStringList &labels)
{
    if (labels.size() == 1) {
        return QStringLiteral("Please press the boot pushbutton on the device at %1\n"
                              "and restart your hardware now!")
            .arg(labels.first());
    }
    return QStringLiteral("Please press the boot pushbutton on all %1 devices (%2)\n"
                          "and restart your hardware now!")
        .arg(labels.size())
        .arg(labels.join(QStringLiteral(", ")));
}
