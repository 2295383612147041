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

} // namespace

int main(int argc, char *argv[])
{
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
