// A reading program that leaves: starts PROGRAM with its standard output on
// an anonymous pipe (CreatePipe), as a reading program on Windows does, holds
// the pipe for HOLD_MS without reading, closes its end and times how long
// PROGRAM runs on. Prints, one per line:
//   running_at_close=0|1   whether PROGRAM was still running when the pipe closed
//   unread_bytes=N         what PROGRAM had written by then
//   ended_after_ms=N|none  from the close to PROGRAM's end (none: not within 10 s,
//                          and PROGRAM is then terminated)
//   exit_code=N
//
//   pipe_reader.exe HOLD_MS PROGRAM [ARGUMENTS...]
// PROGRAM is taken relative to the working directory; ARGUMENTS are passed as
// they are, each quoted.

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3) {
        std::fprintf(stderr, "usage: pipe_reader HOLD_MS PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    const DWORD holdMs = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    wchar_t program[MAX_PATH];
    if (GetFullPathNameW(argv[2], MAX_PATH, program, nullptr) == 0)
        return 2;
    std::wstring commandLine = L"\"" + std::wstring(program) + L"\"";
    for (int i = 3; i < argc; ++i)
        commandLine += L" \"" + std::wstring(argv[i]) + L"\"";

    // Only the write end may be inherited: a child holding the read end too
    // would keep the pipe alive after we close ours.
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, &inheritable, 0) ||
        !SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0))
        return 2;
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0, nullptr);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    SetHandleInformation(err, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = write;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "pipe_reader: CreateProcessW failed: %lu\n", GetLastError());
        return 2;
    }
    CloseHandle(process.hThread);
    CloseHandle(write);
    CloseHandle(nul);

    Sleep(holdMs);
    const bool running = WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT;
    DWORD unread = 0;
    PeekNamedPipe(read, nullptr, 0, nullptr, &unread, nullptr);
    CloseHandle(read);
    const ULONGLONG closed = GetTickCount64();
    const bool ended = WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0;
    const ULONGLONG endedAfter = GetTickCount64() - closed;
    if (!ended)
        TerminateProcess(process.hProcess, 3);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);

    std::printf("running_at_close=%d\nunread_bytes=%lu\n", running ? 1 : 0, unread);
    if (ended)
        std::printf("ended_after_ms=%llu\n", endedAfter);
    else
        std::printf("ended_after_ms=none\n");
    std::printf("exit_code=%lu\n", code);
    return 0;
}
