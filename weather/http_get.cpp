#include "http_get.h"

#include "curl_api.h"

namespace {

// Returning less than size * count makes libcurl end the transfer with
// CURLE_WRITE_ERROR; that is how an oversized body is refused.
template <typename Buffer>
std::size_t appendCapped(Buffer &buffer, const char *data, std::size_t size, std::size_t count)
{
    if (size != 0 && count > kMaxBodyBytes / size)
        return 0;
    const std::size_t bytes = size * count;
    const std::size_t held = static_cast<std::size_t>(buffer.size());
    if (bytes > kMaxBodyBytes - held)
        return 0;
    buffer.append(data, static_cast<int>(bytes)); // bytes <= kMaxBodyBytes
    return bytes;
}

int abortWhenFlagged(void *flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<const std::atomic<bool> *>(flag)->load() ? 1 : 0;
}

} // namespace

std::size_t collectToStdString(char *data, std::size_t size, std::size_t count, void *target)
{
    return appendCapped(*static_cast<std::string *>(target), data, size, count);
}

std::size_t collectToByteArray(char *data, std::size_t size, std::size_t count, void *target)
{
    return appendCapped(*static_cast<QByteArray *>(target), data, size, count);
}

void setSharedOptions(CURL *handle, const std::atomic<bool> *abortFlag)
{
    // libcurl's resolver time-out uses SIGALRM unless told otherwise, which
    // is unsafe with more than one thread.
    curlapi::easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    if (abortFlag) {
        curlapi::easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &abortWhenFlagged);
        curlapi::easy_setopt(handle, CURLOPT_XFERINFODATA,
                             const_cast<std::atomic<bool> *>(abortFlag));
        curlapi::easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    }
}

std::string httpGetToString(const std::string &url, long timeoutSeconds,
                            const std::atomic<bool> *abortFlag)
{
    std::string result;
    CURL *handle = curlapi::easy_init();
    if (!handle)
        return result;
    curlapi::easy_setopt(handle, CURLOPT_URL, url.c_str());
    curlapi::easy_setopt(handle, CURLOPT_WRITEFUNCTION, &collectToStdString);
    curlapi::easy_setopt(handle, CURLOPT_WRITEDATA, &result);
    curlapi::easy_setopt(handle, CURLOPT_USERAGENT, "DedoRiruruz/1.0");
    curlapi::easy_setopt(handle, CURLOPT_TIMEOUT, timeoutSeconds);
    setSharedOptions(handle, abortFlag);
    if (curlapi::easy_perform(handle) != CURLE_OK)
        result.clear();
    curlapi::easy_cleanup(handle);
    return result;
}
