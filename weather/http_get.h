#pragma once

#include <QByteArray>

#include <atomic>
#include <cstddef>
#include <string>

typedef void CURL;

/// Bodies above this size end the transfer with a libcurl write error, so a
/// broken or hostile server cannot exhaust our memory.
constexpr std::size_t kMaxBodyBytes = 1024 * 1024;

/// libcurl write callback appending to a std::string, capped at kMaxBodyBytes.
std::size_t collectToStdString(char *data, std::size_t size, std::size_t count, void *target);
/// libcurl write callback appending to a QByteArray, capped at kMaxBodyBytes.
std::size_t collectToByteArray(char *data, std::size_t size, std::size_t count, void *target);

/// Options every handle of ours carries after its request options: no
/// signals (we run libcurl off the main thread), and, when `abortFlag` is
/// given, a progress check that ends the transfer soon after the flag is set.
void setSharedOptions(CURL *handle, const std::atomic<bool> *abortFlag);

/// Blocking GET of `url` with the lookup's user agent and `timeoutSeconds`
/// for the whole transfer. Returns the whole body, or empty when no handle
/// was obtained or the transfer failed (a partial body is discarded).
/// Setting `*abortFlag` from another thread makes it give up early.
std::string httpGetToString(const std::string &url, long timeoutSeconds = 10,
                            const std::atomic<bool> *abortFlag = nullptr);
