/* The monitor's floor: what a publisher must do each second and nothing
 * else. Wakes, reads each FILE given (opened once, read from the start), and
 * writes a block of the shared block's size to a file in /dev/shm.
 *
 *   bench_monitor_floor FILE...
 *
 * scripts/bench.sh passes the files the monitor reads each second. */
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    static char buffer[65536], block[2688];
    int files[64];
    int count = argc - 1 < 64 ? argc - 1 : 64;
    for (int i = 0; i < count; i++) {
        files[i] = open(argv[i + 1], O_RDONLY);
        if (files[i] < 0) {
            perror(argv[i + 1]);
            return 1;
        }
    }
    int shm = open("/dev/shm/pcreport-bench-floor", O_RDWR | O_CREAT, 0600);
    struct timespec second = {1, 0};
    for (;;) {
        for (int i = 0; i < count; i++) {
            if (pread(files[i], buffer, sizeof buffer, 0) < 0)
                return 1;
        }
        if (pwrite(shm, block, sizeof block, 0) < 0)
            return 1;
        nanosleep(&second, 0);
    }
}
