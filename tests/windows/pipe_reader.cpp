// A reading program that leaves: starts PROGRAM with its standard output on
// a named pipe as QProcess makes it (the reader's end inbound and overlapped,
// the child's end opened with GENERIC_WRITE alone: no right to ask the pipe's
// state), holds the pipe for HOLD_MS without reading, leaves and times how
// long PROGRAM runs on. Prints, one per line:
//   running_at_close=0|1   whether PROGRAM was still running when the reader left
//   unread_bytes=N         what PROGRAM had written by then
//   ended_after_ms=N|none  from then to PROGRAM's end (none: not within 10 s,
//                          and PROGRAM is then terminated)
//   exit_code=N
//
//   pipe_reader.exe LEAVE HOLD_MS PROGRAM [ARGUMENTS...]
// LEAVE: close  the reader closes its end and lives on;
//        exit   the reader that started PROGRAM ends (its end closing with
//               it). It is a second copy of this program, started for the
//               purpose, which reports to this one on an anonymous pipe.
// PROGRAM is taken relative to the working directory; ARGUMENTS are passed as
// they are, each quoted.

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

/// Starts `commandLine` with its standard output on a new pipe, named as
/// above or else anonymous; the reading end, not inheritable, goes to `read`.
bool startOnPipe(bool named, std::wstring commandLine, HANDLE *read, PROCESS_INFORMATION *process)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE write = nullptr;
    if (named) {
        const std::wstring name =
            L"\\\\.\\pipe\\pcreport-reader-" + std::to_wstring(GetCurrentProcessId());
        *read = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 1024 * 1024, 0, nullptr);
        write = CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        if (*read == INVALID_HANDLE_VALUE || write == INVALID_HANDLE_VALUE)
            return false;
    } else if (!CreatePipe(read, &write, &inheritable, 0) ||
               // A child holding the read end too would keep the pipe alive.
               !SetHandleInformation(*read, HANDLE_FLAG_INHERIT, 0)) {
        return false;
    }
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0, nullptr);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    SetHandleInformation(err, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    // Our own standard output stays ours: a copy in the child would keep
    // whoever reads us waiting for the child's end.
    SetHandleInformation(GetStdHandle(STD_OUTPUT_HANDLE), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = write;
    startup.hStdError = err;
    const bool started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, process) != FALSE;
    if (!started)
        std::fprintf(stderr, "pipe_reader: CreateProcessW failed: %lu\n", GetLastError());
    else
        CloseHandle(process->hThread);
    CloseHandle(write);
    CloseHandle(nul);
    return started;
}

DWORD unreadBytes(HANDLE read)
{
    DWORD unread = 0;
    PeekNamedPipe(read, nullptr, 0, nullptr, &unread, nullptr);
    return unread;
}

/// The number of one "name=N" line of the starter's report, read a byte at
/// a time; 0 when the line is missing.
DWORD reportNumber(HANDLE report)
{
    std::string line;
    char c = 0;
    DWORD got = 0;
    while (ReadFile(report, &c, 1, &got, nullptr) && got == 1 && c != '\n')
        line += c;
    const std::size_t equals = line.find('=');
    return equals == std::string::npos ? 0 : std::strtoul(line.c_str() + equals + 1, nullptr, 10);
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 4) {
        std::fprintf(stderr, "usage: pipe_reader LEAVE HOLD_MS PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    const std::wstring leave = argv[1];
    const DWORD holdMs = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
    wchar_t program[MAX_PATH];
    if (GetFullPathNameW(argv[3], MAX_PATH, program, nullptr) == 0)
        return 2;
    std::wstring commandLine = L"\"" + std::wstring(program) + L"\"";
    for (int i = 4; i < argc; ++i)
        commandLine += L" \"" + std::wstring(argv[i]) + L"\"";

    HANDLE read = nullptr;
    PROCESS_INFORMATION process = {};
    if (leave == L"--starter") {
        // The reader that exits: starts PROGRAM, tells its id, holds the
        // pipe, tells what was left unread and ends.
        if (!startOnPipe(true, commandLine, &read, &process))
            return 2;
        std::printf("pid=%lu\n", process.dwProcessId);
        std::fflush(stdout);
        Sleep(holdMs);
        std::printf("unread=%lu\n", unreadBytes(read));
        return 0;
    }

    bool running = false;
    DWORD unread = 0;
    HANDLE target = nullptr;
    ULONGLONG left = 0;
    if (leave == L"close") {
        if (!startOnPipe(true, commandLine, &read, &process))
            return 2;
        target = process.hProcess;
        Sleep(holdMs);
        running = WaitForSingleObject(target, 0) == WAIT_TIMEOUT;
        unread = unreadBytes(read);
        CloseHandle(read);
        left = GetTickCount64();
    } else if (leave == L"exit") {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        const std::wstring starter = L"\"" + std::wstring(self) + L"\" --starter " +
                                     std::to_wstring(holdMs) + L" " + commandLine;
        if (!startOnPipe(false, starter, &read, &process))
            return 2;
        const DWORD pid = reportNumber(read);
        // Opened while the starter still holds it: the id is still its.
        target = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE,
                             FALSE, pid);
        if (target == nullptr) {
            std::fprintf(stderr, "pipe_reader: no process %lu to watch\n", pid);
            return 2;
        }
        WaitForSingleObject(process.hProcess, holdMs + 30000);
        running = WaitForSingleObject(target, 0) == WAIT_TIMEOUT;
        left = GetTickCount64();
        unread = reportNumber(read);
        CloseHandle(read);
        CloseHandle(process.hProcess);
    } else {
        return 2;
    }

    const bool ended = WaitForSingleObject(target, 10000) == WAIT_OBJECT_0;
    const ULONGLONG endedAfter = GetTickCount64() - left;
    if (!ended)
        TerminateProcess(target, 3);
    DWORD code = 0;
    GetExitCodeProcess(target, &code);
    CloseHandle(target);
    std::printf("running_at_close=%d\nunread_bytes=%lu\n", running ? 1 : 0, unread);
    if (ended)
        std::printf("ended_after_ms=%llu\n", endedAfter);
    else
        std::printf("ended_after_ms=none\n");
    std::printf("exit_code=%lu\n", code);
    return 0;
}
