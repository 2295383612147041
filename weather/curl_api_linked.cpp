#include "curl_api.h"

#include <QDebug>

// Windows: libcurl is linked into the one executable; only its global
// set-up waits for the first transfer.

namespace {

bool setUp()
{
    // Not thread-safe in itself; the static's initialisation runs it once.
    static const bool ok = [] {
        const CURLcode status = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (status != CURLE_OK)
            qWarning().noquote() << "curl_global_init failed:" << curl_easy_strerror(status);
        return status == CURLE_OK;
    }();
    return ok;
}

} // namespace

namespace curlapi {

CURL *easy_init()
{
    return setUp() ? curl_easy_init() : nullptr;
}

SetoptFunction setoptFunction()
{
    return &curl_easy_setopt;
}

CURLcode easy_perform(CURL *handle)
{
    return curl_easy_perform(handle);
}

void easy_cleanup(CURL *handle)
{
    curl_easy_cleanup(handle);
}

const char *easy_strerror(CURLcode code)
{
    return curl_easy_strerror(code);
}

} // namespace curlapi
