#pragma once

#include <cerrno>

/// Calls `call` (a POSIX call wrapped in a lambda) until it does not fail
/// with EINTR, and returns its last result: a signal that lands on this
/// thread mid-call must not look like a failure of the call. Async-signal-safe
/// as long as `call` is, so it may be used between fork and exec.
template <typename Call> auto retryOnEintr(Call call) -> decltype(call())
{
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}
