#pragma once

// Real processes for the tests that run programs: copies put in place,
// children started with posix_spawn, read through pipes with deadlines, and
// never left behind.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QString>
#include <QStringList>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "common/retry_on_eintr.h"

extern char **environ;

/// A child with standard input on /dev/null and, on request, its standard
/// output and error on pipes to the test. Whatever still runs when it goes
/// out of scope is terminated, killed if need be, and reaped.
class ChildProcess
{
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    ~ChildProcess()
    {
        closeOutput();
        stop(SIGTERM, 2000);
        stop(SIGKILL, 5000);
    }

    /// SIGPIPE is reset to its default in the child unless `ignoreSigpipe`:
    /// a test that ignores it for itself would otherwise pass that on.
    bool start(const QString &program, const QStringList &args, bool pipeStdout,
               bool pipeStderr = false, bool ignoreSigpipe = false)
    {
        int fds[2][2] = {{-1, -1}, {-1, -1}};
        const bool wanted[2] = {pipeStdout, pipeStderr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        for (int i = 0; i < 2; ++i) {
            if (wanted[i] && ::pipe2(fds[i], O_CLOEXEC) == 0)
                posix_spawn_file_actions_adddup2(&actions, fds[i][1], i + 1);
        }
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t defaults;
        sigemptyset(&defaults);
        if (!ignoreSigpipe)
            sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

        QList<QByteArray> encoded{QFile::encodeName(program)};
        for (const QString &arg : args)
            encoded << arg.toLocal8Bit();
        std::vector<char *> argv;
        for (QByteArray &arg : encoded)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&m_pid, argv[0], &actions, &attr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        for (int i = 0; i < 2; ++i) {
            if (fds[i][1] >= 0)
                ::close(fds[i][1]);
            m_fd[i] = fds[i][0];
        }
        const bool ok = rc == 0 && (!pipeStdout || m_fd[0] >= 0) && (!pipeStderr || m_fd[1] >= 0);
        if (rc != 0)
            m_pid = -1;
        if (!ok)
            closeOutput();
        return ok;
    }

    pid_t pid() const { return m_pid; }

    /// Waits up to `timeoutMs` for one whole line of standard output; false
    /// on timeout or at its end.
    bool readLine(QByteArray *line, int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            const int newline = m_buffer[0].indexOf('\n');
            if (newline >= 0) {
                *line = m_buffer[0].left(newline);
                m_buffer[0].remove(0, newline + 1);
                return true;
            }
            if (m_fd[0] < 0 || deadline.hasExpired())
                return false;
            pump(deadline);
        }
    }

    /// Reads both pipes until each has reached its end; false if the time
    /// ran out first (a descendant holding them open, say).
    bool readToEnd(QByteArray *out, QByteArray *err, int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while ((m_fd[0] >= 0 || m_fd[1] >= 0) && !deadline.hasExpired())
            pump(deadline);
        *out = m_buffer[0];
        *err = m_buffer[1];
        return m_fd[0] < 0 && m_fd[1] < 0;
    }

    /// The test stops reading, as a reader that goes away does.
    void closeOutput()
    {
        for (int &fd : m_fd) {
            if (fd >= 0)
                ::close(fd);
            fd = -1;
        }
    }

    /// Reaps the child if it has ended within `timeoutMs`.
    bool waitExit(int timeoutMs, int *status = nullptr)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (m_pid > 0) {
            int st = 0;
            const pid_t r = ::waitpid(m_pid, &st, WNOHANG);
            if (r == m_pid || (r < 0 && errno == ECHILD)) {
                m_pid = -1;
                m_status = st;
                break;
            }
            if (deadline.hasExpired())
                return false;
            QThread::msleep(20);
        }
        if (status)
            *status = m_status;
        return true;
    }

    bool running() { return m_pid > 0 && !waitExit(0); }

    bool stop(int signal, int timeoutMs)
    {
        if (m_pid <= 0)
            return true;
        ::kill(m_pid, signal);
        return waitExit(timeoutMs);
    }

private:
    /// Appends whatever arrives on the open pipes before `deadline`.
    void pump(const QDeadlineTimer &deadline)
    {
        pollfd fds[2];
        int count = 0;
        for (int fd : m_fd) {
            if (fd >= 0)
                fds[count++] = {fd, POLLIN, 0};
        }
        if (count == 0 || ::poll(fds, nfds_t(count), int(deadline.remainingTime())) <= 0)
            return;
        for (int i = 0; i < 2; ++i) {
            for (int j = 0; j < count; ++j) {
                if (fds[j].fd != m_fd[i] || fds[j].revents == 0)
                    continue;
                char chunk[4096];
                const ssize_t n =
                    retryOnEintr([&] { return ::read(m_fd[i], chunk, sizeof chunk); });
                if (n > 0) {
                    m_buffer[i].append(chunk, int(n));
                } else {
                    ::close(m_fd[i]);
                    m_fd[i] = -1;
                }
            }
        }
    }

    pid_t m_pid = -1;
    int m_fd[2] = {-1, -1}; ///< standard output, standard error
    int m_status = 0;
    QByteArray m_buffer[2];
};

/// Copies `source` to `target`, making its folder; the copy is executable.
inline bool copyExecutable(const QString &source, const QString &target)
{
    return QDir().mkpath(QFileInfo(target).path()) && QFile::copy(source, target) &&
           QFile::setPermissions(target, QFile::permissions(target) | QFileDevice::ExeOwner);
}

/// The ids of the processes whose name (/proc/PID/comm) is `name`.
inline QList<pid_t> processesNamed(const QString &name)
{
    QList<pid_t> found;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const pid_t pid = entry.toInt(&numeric);
        QFile comm("/proc/" + entry + "/comm");
        if (numeric && comm.open(QIODevice::ReadOnly) &&
            comm.readAll().trimmed() == name.toLocal8Bit())
            found << pid;
    }
    return found;
}

/// Ends every process started from a file in `dir` (by the test, or by a
/// launcher under test): SIGTERM first, so that the monitor can remove its
/// segment, then SIGKILL.
inline void killEverythingFrom(const QString &dir)
{
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString exe = "/proc/" + entry + "/exe";
        if (!QFile::symLinkTarget(exe).startsWith(dir + '/'))
            continue;
        const pid_t pid = entry.toInt();
        ::kill(pid, SIGTERM);
        const QDeadlineTimer deadline(2000);
        while (!QFile::symLinkTarget(exe).isEmpty() && !deadline.hasExpired())
            QThread::msleep(20);
        ::kill(pid, SIGKILL);
    }
}
