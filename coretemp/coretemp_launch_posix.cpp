#include "coretemp_launch.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/retry_on_eintr.h"

extern char **environ;

// Why not QProcess::startDetached: it does give the double fork (no zombie),
// setsid() and, with setStandard*File(QProcess::nullDevice()), stdio on
// /dev/null, but in Qt 5.15 and 6.4 alike it
//  - reports a failed exec only as a flag (5.15) or as text (6.4), never as
//    the errno we log in "Failed to start CoreTemp: <code>";
//  - leaves every descriptor without close-on-exec open in the new program,
//    so a pipe to our reader could stay open after we exit;
//  - in 5.15, starts the program with SIGPIPE ignored and allocates between
//    fork and exec.
// None of these can be added from outside the call, so the launcher does the
// fork and exec itself. Between fork and exec only async-signal-safe calls
// are made: another thread may have held a lock (malloc's, the logger's) at
// the moment of the fork.

namespace {

/// Child side: reports errno through the exec-status pipe and ends.
[[noreturn]] void reportAndExit(int statusFd)
{
    const int error = errno;
    retryOnEintr([&] { return ::write(statusFd, &error, sizeof error); });
    ::_exit(127);
}

/// Child side: gives every descriptor from 3 up the close-on-exec flag, so
/// that the new program holds none of ours (our stdout pipe's duplicates, the
/// event loop's descriptors); `keep` is already close-on-exec.
void closeOtherDescriptorsOnExec(int keep)
{
#ifdef CLOSE_RANGE_CLOEXEC
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
#endif
    rlimit limit{};
    int highest = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        highest = static_cast<int>(limit.rlim_cur);
    for (int fd = 3; fd < highest; ++fd) {
        if (fd != keep)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

/// Grandchild: the process that becomes the new program.
[[noreturn]] void execHidden(const char *path, char *const argv[], char *const envp[], int statusFd)
{
    // Keep the status pipe clear of 0..2, which are about to be replaced.
    if (statusFd <= 2) {
        const int moved = ::fcntl(statusFd, F_DUPFD_CLOEXEC, 3);
        if (moved < 0)
            reportAndExit(statusFd);
        statusFd = moved;
    }
    const int devNull = ::open("/dev/null", O_RDWR);
    if (devNull < 0)
        reportAndExit(statusFd);
    for (int fd = 0; fd <= 2; ++fd) {
        if (::dup2(devNull, fd) < 0)
            reportAndExit(statusFd);
    }
    if (devNull > 2)
        ::close(devNull);
    closeOtherDescriptorsOnExec(statusFd);

    // Start the program as a fresh one: default dispositions (an ignored
    // signal would stay ignored across exec) and nothing blocked.
    struct sigaction defaultAction
    {
    };
    defaultAction.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        ::sigaction(signal, &defaultAction, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    ::execve(path, argv, envp);
    reportAndExit(statusFd);
}

} // namespace

LaunchOutcome startHiddenProcess(const std::string &utf8Path)
{
    LaunchOutcome outcome;

    // Everything the children need is prepared here, before the fork.
    const char *path = utf8Path.c_str();
    char *const argv[] = {const_cast<char *>(path), nullptr};
    char *const *envp = environ;

    // Stays open until the exec succeeds (close-on-exec) or carries its errno.
    int statusPipe[2];
    if (::pipe2(statusPipe, O_CLOEXEC) != 0) {
        outcome.error = static_cast<unsigned long>(errno);
        return outcome;
    }

    // No signal handler of ours may run in the children before exec.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);

    const pid_t intermediate = ::fork();
    if (intermediate == 0) {
        ::close(statusPipe[0]);
        // Its own session: no controlling terminal, out of our process group,
        // so a Ctrl+C or hang-up meant for us does not reach it.
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild == 0)
            execHidden(path, argv, envp, statusPipe[1]);
        if (grandchild < 0)
            reportAndExit(statusPipe[1]);
        // Leaving at once hands the grandchild to init (or the nearest
        // subreaper): it never becomes our zombie.
        ::_exit(0);
    }
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(statusPipe[1]);

    if (intermediate < 0) {
        ::close(statusPipe[0]);
        outcome.error = static_cast<unsigned long>(forkError);
        return outcome;
    }

    // Reap the intermediate child. ECHILD means someone else reaped it
    // (a SIGCHLD handler that waits for every child), which is fine too.
    retryOnEintr([&] { return ::waitpid(intermediate, nullptr, 0); });

    // EOF without data: the exec succeeded and closed the pipe's last writer.
    int childError = 0;
    size_t got = 0;
    while (got < sizeof childError) {
        const ssize_t n = retryOnEintr([&] {
            return ::read(statusPipe[0], reinterpret_cast<char *>(&childError) + got,
                          sizeof childError - got);
        });
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    ::close(statusPipe[0]);

    if (got == sizeof childError)
        outcome.error = static_cast<unsigned long>(childError);
    else if (got > 0)
        outcome.error = EIO; // a torn report; should not happen on a pipe
    else
        outcome.started = true;
    return outcome;
}
