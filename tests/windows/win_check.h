#pragma once

// The smallest test runner that does the job under wine, where there is no Qt:
// every check prints one PASS or FAIL line, which scripts/test_windows.sh
// counts, and main returns finish().

#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>

/// CHECK(condition, name[, detail]): one PASS or FAIL line; a FAIL line ends
/// with the file, the line and the condition as written.
#define CHECK(ok, ...) ::wincheck::checkAt(__FILE__, __LINE__, #ok, (ok), __VA_ARGS__)

namespace wincheck {

inline int &passedCount()
{
    static int count = 0;
    return count;
}

inline int &failedCount()
{
    static int count = 0;
    return count;
}

/// One check; use it through CHECK, which names the file, the line and the
/// expression that failed.
inline bool checkAt(const char *file, int line, const char *expression, bool ok,
                    const std::string &name, const std::string &detail = std::string())
{
    if (ok) {
        ++passedCount();
        std::printf("PASS %s\n", name.c_str());
    } else {
        ++failedCount();
        std::printf("FAIL %s%s%s (%s:%d: %s)\n", name.c_str(), detail.empty() ? "" : ": ",
                    detail.c_str(), file, line, expression);
    }
    std::fflush(stdout);
    return ok;
}

/// A remark for whoever reads the log; counted as nothing.
inline void note(const std::string &text)
{
    std::printf("NOTE %s\n", text.c_str());
    std::fflush(stdout);
}

/// The closing line of one test program, and its exit status.
inline int finish(const char *program)
{
    std::printf("END %s: %d passed, %d failed\n", program, passedCount(), failedCount());
    std::fflush(stdout);
    return failedCount() == 0 ? 0 : 1;
}

inline std::string toUtf8(const std::wstring &wide)
{
    if (wide.empty())
        return std::string();
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(),
                            length, nullptr, nullptr);
    return utf8;
}

inline std::string hex(unsigned long value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%08lx", value);
    return text;
}

/// Polls `done` every 10 ms until it holds or `timeoutMs` has passed.
template <typename Predicate> bool waitFor(Predicate done, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() >= deadline)
            return done();
        Sleep(10);
    }
    return true;
}

/// The folder this test program lies in, with a trailing backslash.
inline std::wstring ownDirectory()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

/// Whether `handle`, just returned by an Open... call, names an object that
/// still exists (the handle is closed again).
inline bool stillExists(HANDLE handle)
{
    if (handle != nullptr)
        CloseHandle(handle);
    return handle != nullptr;
}

inline DWORD WINAPI threadEntry(void *context)
{
    auto *body = static_cast<std::function<void()> *>(context);
    (*body)();
    delete body;
    return 0;
}

/// Runs `body` on a new thread; null if none could be created.
inline HANDLE startThread(std::function<void()> body)
{
    auto *context = new std::function<void()>(std::move(body));
    HANDLE thread = CreateThread(nullptr, 0, threadEntry, context, 0, nullptr);
    if (thread == nullptr)
        delete context;
    return thread;
}

/// Waits a bounded time for `thread` to end and closes it.
inline void join(HANDLE thread, DWORD timeoutMs = 30000)
{
    if (thread == nullptr)
        return;
    WaitForSingleObject(thread, timeoutMs);
    CloseHandle(thread);
}

} // namespace wincheck
