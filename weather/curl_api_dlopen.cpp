#include "curl_api.h"

#include <QDebug>

#include <dlfcn.h>

namespace {

struct Functions
{
    CURL *(*easyInit)();
    curlapi::SetoptFunction easySetopt;
    CURLcode (*easyPerform)(CURL *);
    void (*easyCleanup)(CURL *);
    const char *(*easyStrerror)(CURLcode);
};

template <typename Function> bool resolve(void *library, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

/// Loaded and set up once, by whichever thread asks first; never unloaded.
const Functions *functions()
{
    static const Functions *const loaded = []() -> const Functions * {
        // The soname the -dev package links against: the same ABI.
        void *library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            qWarning().noquote() << "libcurl could not be loaded:" << dlerror();
            return nullptr;
        }
        static Functions table;
        CURLcode (*globalInit)(long) = nullptr;
        if (!resolve(library, "curl_global_init", globalInit) ||
            !resolve(library, "curl_easy_init", table.easyInit) ||
            !resolve(library, "curl_easy_setopt", table.easySetopt) ||
            !resolve(library, "curl_easy_perform", table.easyPerform) ||
            !resolve(library, "curl_easy_cleanup", table.easyCleanup) ||
            !resolve(library, "curl_easy_strerror", table.easyStrerror)) {
            qWarning().noquote() << "libcurl lacks a function:" << dlerror();
            return nullptr;
        }
        // Not thread-safe in itself; the static's initialisation runs it once.
        const CURLcode status = globalInit(CURL_GLOBAL_DEFAULT);
        if (status != CURLE_OK) {
            qWarning().noquote() << "curl_global_init failed:" << table.easyStrerror(status);
            return nullptr;
        }
        return &table;
    }();
    return loaded;
}

} // namespace

namespace curlapi {

CURL *easy_init()
{
    const Functions *f = functions();
    return f ? f->easyInit() : nullptr;
}

SetoptFunction setoptFunction()
{
    return functions()->easySetopt;
}

CURLcode easy_perform(CURL *handle)
{
    return functions()->easyPerform(handle);
}

void easy_cleanup(CURL *handle)
{
    functions()->easyCleanup(handle);
}

const char *easy_strerror(CURLcode code)
{
    const Functions *f = functions();
    return f ? f->easyStrerror(code) : "libcurl is not loaded";
}

} // namespace curlapi
