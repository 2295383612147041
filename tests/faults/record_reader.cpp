// The reading program, as the fault and soak tests need it: starts a command
// with its standard output on a pipe of the given size, stamps every line it
// reads with the milliseconds since the start, stalls when told, samples the
// command's memory once a second, and ends it after the given time, or
// sooner on SIGTERM (a script that has seen what it waited for).
//
// record_reader PIPE_BYTES STALL_AT_MS STALL_MS RUN_MS COMMAND [ARGS...]
//
// Prints "<ms> <line>" per line read, "# mem <ms> <VmRSS kB> <RssAnon kB>"
// once a second and "# exit <wait status>" last. PIPE_BYTES 0 keeps the
// system's pipe size.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

volatile std::sig_atomic_t endNow = 0;

void onTerm(int)
{
    endNow = 1;
}

long long nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void printMemory(pid_t pid, long long at)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    std::FILE *status = std::fopen(path.c_str(), "r");
    if (!status)
        return;
    long rss = -1, anon = -1;
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
        std::sscanf(line, "VmRSS: %ld", &rss);
        std::sscanf(line, "RssAnon: %ld", &anon);
    }
    std::fclose(status);
    std::printf("# mem %lld %ld %ld\n", at, rss, anon);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 6) {
        std::fprintf(stderr, "usage: record_reader PIPE_BYTES STALL_AT_MS STALL_MS RUN_MS "
                             "COMMAND [ARGS...]\n");
        return 2;
    }
    const long pipeBytes = std::atol(argv[1]);
    const long long stallAt = std::atoll(argv[2]), stallMs = std::atoll(argv[3]),
                    runMs = std::atoll(argv[4]);
    std::signal(SIGPIPE, SIG_IGN);
    // No SA_RESTART: poll and usleep return at once.
    struct sigaction term = {};
    term.sa_handler = onTerm;
    sigaction(SIGTERM, &term, nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return 1;
    if (pipeBytes > 0 && fcntl(fds[1], F_SETPIPE_SZ, int(pipeBytes)) < 0)
        std::perror("record_reader: F_SETPIPE_SZ");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[5], &actions, &attr, argv + 5, environ) != 0) {
        std::perror("record_reader: spawn");
        return 1;
    }
    close(fds[1]);

    const long long start = nowMs();
    long long nextSample = start;
    std::string pending;
    bool open = true;
    for (;;) {
        const long long now = nowMs();
        if (endNow || now - start >= runMs)
            break;
        if (now >= nextSample) {
            printMemory(pid, now - start);
            nextSample += 1000;
        }
        const bool stalled = now - start >= stallAt && now - start < stallAt + stallMs;
        if (stalled || !open) {
            usleep(20000);
            continue;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        char chunk[4096];
        const ssize_t n = read(fds[0], chunk, sizeof chunk);
        if (n <= 0) {
            open = n < 0 && errno == EINTR;
            continue;
        }
        pending.append(chunk, std::size_t(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::printf("%lld %s\n", nowMs() - start, pending.substr(0, end).c_str());
            pending.erase(0, end + 1);
        }
        std::fflush(stdout);
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    std::printf("# exit %d\n", status);
    return 0;
}
