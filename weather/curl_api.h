#pragma once

#include <curl/curl.h>

// The libcurl calls the program makes. On Linux libcurl is loaded on the
// first call, not at start-up, which it would double (docs/DESIGN.md,
// "Start-up"); on Windows it is linked in.
namespace curlapi {

/// A new transfer handle. The first call loads libcurl and runs
/// curl_global_init once; nullptr when libcurl cannot be loaded or set up.
CURL *easy_init();

using SetoptFunction = CURLcode (*)(CURL *, CURLoption, ...);
/// libcurl's curl_easy_setopt; only for handles easy_init gave.
SetoptFunction setoptFunction();

template <typename Value> CURLcode easy_setopt(CURL *handle, CURLoption option, Value value)
{
    return setoptFunction()(handle, option, value);
}
CURLcode easy_perform(CURL *handle);
void easy_cleanup(CURL *handle);
const char *easy_strerror(CURLcode code);

} // namespace curlapi
