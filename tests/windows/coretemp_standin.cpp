// Core Temp's stand-in for the end-to-end runs under wine. It creates the
// mapping "CoreTempMappingObject" (the 2688-byte block) and the mutex
// "CoreTempMutexObject", publishes one CPU whose core 0 has the load and
// temperature given on its command line (7 and 55 without arguments), and
// keeps them until it is ended.
//
//   coretemp_standin [LOAD TEMPERATURE]     TEMPERATURE may be nan, inf, -3
//   coretemp_standin --memory-load          prints GlobalMemoryStatusEx's load
//
// When PCREPORT_STANDIN_RECORD names a file it first writes down how it was
// started there: argument count, working directory, STARTUPINFO flags and
// show state (read by the launcher check).

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "coretemp/coretemp_shared.h"

namespace {

void recordStart(int argc)
{
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("PCREPORT_STANDIN_RECORD", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    char cwd[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, cwd);
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    if (std::FILE *out = std::fopen(path, "w")) {
        std::fprintf(out, "argc=%d\ncwd=%s\nflags=%lu\nshow=%u\n", argc, cwd,
                     static_cast<unsigned long>(startup.dwFlags),
                     static_cast<unsigned>(startup.wShowWindow));
        std::fclose(out);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--memory-load") == 0) {
        MEMORYSTATUSEX status;
        status.dwLength = sizeof status;
        if (!GlobalMemoryStatusEx(&status))
            return 1;
        std::printf("%lu\n", static_cast<unsigned long>(status.dwMemoryLoad));
        return 0;
    }
    recordStart(argc);
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
