/* Timing for the benchmark.
 *   bench_tool firstline COMMAND [ARGS...]  microseconds from fork to the
 *                                           first line on COMMAND's stdout
 *   bench_tool repeat N COMMAND [ARGS...]   mean wall milliseconds of N runs,
 *                                           stdout discarded */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static int firstLine(char **command)
{
    int fd[2];
    char c = 0;
    if (pipe(fd))
        return 1;
    double start = now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fd[1], 1);
        close(fd[0]);
        close(fd[1]);
        execvp(command[0], command);
        _exit(127);
    }
    close(fd[1]);
    while (read(fd[0], &c, 1) == 1 && c != '\n') {
    }
    double end = now();
    kill(pid, SIGTERM);
    waitpid(pid, NULL, 0);
    printf("%.0f\n", (end - start) * 1e6);
    return c == '\n' ? 0 : 1;
}

static int repeat(int n, char **command)
{
    double start = now();
    for (int i = 0; i < n; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            if (!freopen("/dev/null", "w", stdout))
                _exit(126);
            execvp(command[0], command);
            _exit(127);
        }
        int status;
        waitpid(pid, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) >= 126)
            return 1;
    }
    printf("%.3f\n", (now() - start) * 1e3 / n);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc > 2 && !strcmp(argv[1], "firstline"))
        return firstLine(argv + 2);
    if (argc > 3 && !strcmp(argv[1], "repeat"))
        return repeat(atoi(argv[2]), argv + 3);
    fprintf(stderr, "usage: bench_tool firstline COMMAND... | repeat N COMMAND...\n");
    return 2;
}
