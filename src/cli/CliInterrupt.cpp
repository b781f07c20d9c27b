#include "cli/CliInterrupt.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Self-pipe: the handler only writes a byte, the event loop does the rest.
int interruptFds[2] = {-1, -1};

extern "C" void onSigint(int)
{
    const char byte = 1;
    if (interruptFds[1] >= 0) {
        const ssize_t written = ::write(interruptFds[1], &byte, 1);
        (void)written;
    }
}

} // namespace

CliInterrupt::CliInterrupt()
{
    if (interruptFds[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, interruptFds) != 0)
        return;
    m_notifier = new QSocketNotifier(interruptFds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CliInterrupt::onReadable);
    struct sigaction action = {};
    action.sa_handler = onSigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}

CliInterrupt::~CliInterrupt()
{
    if (!m_notifier)
        return;
    std::signal(SIGINT, SIG_DFL);
    delete m_notifier;
    ::close(interruptFds[0]);
    ::close(interruptFds[1]);
    interruptFds[0] = interruptFds[1] = -1;
}

void CliInterrupt::onReadable()
{
    char byte;
    while (::recv(interruptFds[0], &byte, 1, MSG_DONTWAIT) > 0) { }
    emit interrupted();
}
