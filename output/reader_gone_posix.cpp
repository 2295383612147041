#include "reader_gone.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/retry_on_eintr.h"

bool stdoutReaderGone()
{
    struct stat st;
    if (::fstat(STDOUT_FILENO, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))
        return false;
    // No events asked for: only the conditions poll always reports come back,
    // so a full pipe whose reader merely lags shows nothing. Linux marks the
    // write end of a pipe without readers with POLLERR (other systems with
    // POLLHUP); a stream socket whose peer closed shows POLLHUP, while a
    // peer that only shut down its own sending half shows neither.
    pollfd fd = {STDOUT_FILENO, 0, 0};
    if (retryOnEintr([&] { return ::poll(&fd, 1, 0); }) != 1)
        return false;
    return (fd.revents & (POLLERR | POLLHUP)) != 0;
}
