// Core Temp's stand-in under wine. It creates the mapping
// "CoreTempMappingObject" (the 2688-byte block) and the mutex
// "CoreTempMutexObject", publishes one CPU whose core 0 has the load and
// temperature given on its command line (7 and 55 without arguments), prints
// "ready" and keeps them until it is ended.
//
//   coretemp_standin [LOAD TEMPERATURE]     TEMPERATURE may be nan, inf, -3
//
// When PCREPORT_STANDIN_RECORD names a file it first writes there how it was
// started, one name=value a line (module, cmdline, argc, cwd, flags and show
// of its STARTUPINFO, pid, tid), for the launcher's tests. When
// PCREPORT_LAUNCH_GO names an event it then publishes nothing: it waits for
// that event (if it exists) and ends, leaving "<record>.done".
//
// Copied as tasklist.exe it answers the probe's tasklist query instead (wine's
// own tasklist ignores the filter): it appends its arguments, one per line,
// to tasklist_args.txt beside itself and answers as tasklist_mode.txt there
// says: "running" (a line naming Core Temp.exe), "other" (tasklist's no-match
// message), "silent" (nothing) or "hang" (nothing for a minute).

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "coretemp/coretemp_shared.h"

namespace {

std::wstring environment(const wchar_t *name)
{
    wchar_t value[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH * 2);
    return length > 0 && length < MAX_PATH * 2 ? std::wstring(value, length) : std::wstring();
}

/// Writes `text` as UTF-8, aside and renamed, so that nobody reads half of it.
void writeFile(const std::wstring &path, const std::wstring &text)
{
    const int size = static_cast<int>(text.size());
    std::string utf8(
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, utf8.data(), static_cast<int>(utf8.size()),
                        nullptr, nullptr);
    const std::wstring partial = path + L".partial";
    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
    MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::wstring howStarted(int argc)
{
    wchar_t module[MAX_PATH];
    const DWORD moduleLength = GetModuleFileNameW(nullptr, module, MAX_PATH);
    wchar_t cwd[MAX_PATH];
    const DWORD cwdLength = GetCurrentDirectoryW(MAX_PATH, cwd);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    return L"module=" + std::wstring(module, moduleLength) + L"\ncmdline=" + GetCommandLineW() +
           L"\nargc=" + std::to_wstring(argc) + L"\ncwd=" + std::wstring(cwd, cwdLength) +
           L"\nflags=" + std::to_wstring(startup.dwFlags) + L"\nshow=" +
           std::to_wstring(startup.wShowWindow) + L"\npid=" +
           std::to_wstring(GetCurrentProcessId()) + L"\ntid=" +
           std::to_wstring(GetCurrentThreadId()) + L"\n";
}

int tasklist(int argc, char *argv[], const std::string &dir)
{
    if (std::FILE *log = std::fopen((dir + "tasklist_args.txt").c_str(), "a")) {
        for (int i = 1; i < argc; ++i)
            std::fprintf(log, "%s\n", argv[i]);
        std::fclose(log);
    }
    char mode[32] = {};
    if (std::FILE *in = std::fopen((dir + "tasklist_mode.txt").c_str(), "r")) {
        if (!std::fgets(mode, sizeof mode, in))
            mode[0] = '\0';
        std::fclose(in);
    }
    const std::string answer(mode);
    if (answer.rfind("running", 0) == 0)
        std::printf(
            "Core Temp.exe                 4242 Console                    1     12,345 K\n");
    else if (answer.rfind("other", 0) == 0)
        std::printf("INFO: No tasks are running which match the specified criteria.\n");
    else if (answer.rfind("hang", 0) == 0)
        Sleep(60000);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    char self[MAX_PATH];
    const std::string path(self, GetModuleFileNameA(nullptr, self, MAX_PATH));
    const std::size_t name = path.find_last_of('\\') + 1;
    if (_stricmp(path.c_str() + name, "tasklist.exe") == 0)
        return tasklist(argc, argv, path.substr(0, name));
    const std::wstring record = environment(L"PCREPORT_STANDIN_RECORD");
    if (!record.empty())
        writeFile(record, howStarted(argc));
    const std::wstring go = environment(L"PCREPORT_LAUNCH_GO");
    if (!go.empty()) {
        if (HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, go.c_str())) {
            WaitForSingleObject(event, 30000);
            CloseHandle(event);
        }
        writeFile(record + L".done", L"done\n");
        return 0;
    }

    const unsigned long load = argc > 2 ? std::strtoul(argv[1], nullptr, 10) : 7;
    const float temperature = argc > 2 ? std::strtof(argv[2], nullptr) : 55.0f;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kCoreTempMutexNameW);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(CoreTempSharedData), kCoreTempMappingNameW);
    if (mutex == nullptr || mapping == nullptr)
        return 2;
    auto *block = static_cast<CoreTempSharedData *>(
        MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(CoreTempSharedData)));
    if (block == nullptr)
        return 3;
    WaitForSingleObject(mutex, INFINITE);
    std::memset(block, 0, sizeof *block);
    block->uiCPUCnt = 1;
    block->uiCoreCnt = 1;
    block->uiLoad[0] = static_cast<uint32_t>(load);
    block->uiTjMax[0] = 100;
    block->fTemp[0] = temperature;
    std::strcpy(block->sCPUName, "Stand-in CPU");
    ReleaseMutex(mutex);
    std::printf("ready\n");
    std::fflush(stdout);
    // Published until the process is ended: its handles go with it.
    for (;;)
        Sleep(INFINITE);
}
