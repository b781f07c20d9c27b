#include "cli/CliSignals.h"

#include "transfer/TransferOutcome.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int HandledSignals[] = {SIGINT, SIGTERM, SIGHUP};
// Beyond what this tool ever opens; the scan must not ask the system (not signal-safe).
constexpr int HighestScannedFd = 1024;

int pipeFds[2] = {-1, -1};
std::atomic<int> signalCount {0};
static_assert(std::atomic<int>::is_always_lock_free);
struct sigaction previousActions[std::size(HandledSignals)];
std::weak_ptr<CliSignals> current;

extern "C" void onTerminationSignal(int signalNumber)
{
    const int savedErrno = errno;
    if (signalCount.fetch_add(1) > 0) {
        // The first break did not end the process in time. The kernel closes the ports on
        // exit, but a terminal keeps its exclusive-open flag as long as its other end lives.
        for (int fd = STDERR_FILENO + 1; fd < HighestScannedFd; ++fd)
            ::ioctl(fd, TIOCNXCL);
        ::_exit(TransferOutcomes::ExitFailed);
    }
    const char byte = char(signalNumber);
    if (pipeFds[1] >= 0)
        (void)!::write(pipeFds[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

std::shared_ptr<CliSignals> CliSignals::acquire()
{
    if (std::shared_ptr<CliSignals> existing = current.lock())
        return existing;
    std::shared_ptr<CliSignals> created(new CliSignals);
    current = created;
    return created;
}

CliSignals::CliSignals()
{
    signalCount = 0;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipeFds) != 0) {
        pipeFds[0] = pipeFds[1] = -1;
    } else {
        // A full pipe must never block the handler; one byte waiting is enough anyway.
        ::fcntl(pipeFds[1], F_SETFL, ::fcntl(pipeFds[1], F_GETFL) | O_NONBLOCK);
        m_notifier = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &CliSignals::readPipe);
    }
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    // Both handler runs must see each other's count, not interleave halfway.
    for (int signalNumber : HandledSignals)
        sigaddset(&action.sa_mask, signalNumber);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(HandledSignals); ++i)
        ::sigaction(HandledSignals[i], &action, &previousActions[i]);
}

CliSignals::~CliSignals()
{
    for (size_t i = 0; i < std::size(HandledSignals); ++i)
        ::sigaction(HandledSignals[i], &previousActions[i], nullptr);
    delete m_notifier;
    m_notifier = nullptr;
    if (pipeFds[0] >= 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        pipeFds[0] = pipeFds[1] = -1;
    }
}

void CliSignals::readPipe()
{
    char bytes[16];
    const ssize_t n = ::recv(pipeFds[0], bytes, sizeof bytes, MSG_DONTWAIT);
    for (ssize_t i = 0; i < n; ++i)
        emit interrupted(int(quint8(bytes[i])));
}
