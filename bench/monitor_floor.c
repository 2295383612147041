/* The monitor's floor: what a publisher must do each second and nothing
 * else. Wakes on a steady one-second deadline, reads each FILE given (opened
 * once, one pread from the start), and writes a block of the shared block's
 * size to a file in /dev/shm under an OFD write lock on its bytes, as the
 * protocol asks.
 *
 *   bench_monitor_floor FILE...
 *
 * scripts/bench.sh passes the files the monitor reads each second. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

static int lockBlock(int fd, short type)
{
    struct flock lock = {0};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 2688;
    return fcntl(fd, F_OFD_SETLK, &lock);
}

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
    struct timespec due;
    clock_gettime(CLOCK_MONOTONIC, &due);
    for (;;) {
        for (int i = 0; i < count; i++) {
            if (pread(files[i], buffer, sizeof buffer, 0) < 0)
                return 1;
        }
        if (lockBlock(shm, F_WRLCK) < 0 || pwrite(shm, block, sizeof block, 0) < 0 ||
            lockBlock(shm, F_UNLCK) < 0)
            return 1;
        due.tv_sec += 1;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, 0) != 0) {
        }
    }
}
