// Linked into every program of a sanitizer build (PCREPORT_SANITIZE).
//
// Where PCREPORT_SANITIZER_LOG holds a path prefix, every sanitizer report of
// this process goes to the file "<prefix>.<pid>" instead of standard error.
// The test run looks there, so a report fails it even from a process whose
// standard error and exit status nobody reads (the monitor, when the launcher
// starts it with its output on /dev/null).
//
// ASAN_OPTIONS' log_path alone is not enough: gcc links AddressSanitizer and
// UndefinedBehaviorSanitizer as two runtimes, each with its own report file,
// and undefined-behaviour reports ignore that option. So the path is given to
// each runtime that is loaded.

#include <cstdlib>
#include <dlfcn.h>

namespace {

using SetReportPath = void (*)(const char *);

void sendReports(void *runtime, const char *prefix)
{
    const auto set =
        reinterpret_cast<SetReportPath>(::dlsym(runtime, "__sanitizer_set_report_path"));
    if (set != nullptr)
        set(prefix);
}

struct ReportsToFiles
{
    ReportsToFiles()
    {
        const char *prefix = std::getenv("PCREPORT_SANITIZER_LOG");
        if (prefix == nullptr || *prefix == '\0')
            return;
        sendReports(RTLD_DEFAULT, prefix);
        if (void *ubsan = ::dlopen("libubsan.so.1", RTLD_NOW | RTLD_NOLOAD)) {
            sendReports(ubsan, prefix);
            ::dlclose(ubsan);
        }
    }
} reportsToFiles;

} // namespace
