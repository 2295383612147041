#include "reader_gone.h"
#include "reader_gone_win.h"

#include <windows.h>

#include <tlhelp32.h>
#include <winternl.h>

#include <atomic>

namespace {

// The local end of a pipe as the pipe file system describes it (ntifs.h's
// FILE_PIPE_LOCAL_INFORMATION, spelled out: not every SDK's winternl.h has it).
struct PipeLocalInformation
{
    ULONG namedPipeType;
    ULONG namedPipeConfiguration;
    ULONG maximumInstances;
    ULONG currentInstances;
    ULONG inboundQuota;
    ULONG readDataAvailable;
    ULONG outboundQuota;
    ULONG writeQuotaAvailable;
    ULONG namedPipeState;
    ULONG namedPipeEnd;
};

constexpr int kFilePipeLocalInformation = 24; ///< FILE_INFORMATION_CLASS
constexpr ULONG kPipeClosingState = 4;        ///< FILE_PIPE_CLOSING_STATE

std::atomic<PipeStateQuery> g_pipeStateQuery{&queryPipeState};

/// The process that started us, opened to be waited on; null when it cannot
/// be found or opened, or when its id now names a process younger than us,
/// that is, when it had ended before we looked.
HANDLE openStartingProcess()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return nullptr;
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    if (parent == 0)
        return nullptr;
    const HANDLE process =
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent);
    if (process == nullptr)
        return nullptr;
    // A process id is free for reuse once its process has ended, so the id
    // in our entry names our starter only if that process is not younger
    // than us. Equal times are one tick of the clock that stamps them: our
    // starter, which had to exist to create us.
    FILETIME theirs = {};
    FILETIME ours = {};
    FILETIME unused[3] = {};
    if (!GetProcessTimes(process, &theirs, &unused[0], &unused[1], &unused[2]) ||
        !GetProcessTimes(GetCurrentProcess(), &ours, &unused[0], &unused[1], &unused[2]) ||
        CompareFileTime(&theirs, &ours) > 0) {
        CloseHandle(process);
        return nullptr;
    }
    return process;
}

/// Whether the process that started us has ended. It is looked for once, at
/// the first question, and kept open for the life of the program.
bool startingProcessEnded()
{
    static const HANDLE starter = openStartingProcess();
    return starter != nullptr && WaitForSingleObject(starter, 0) == WAIT_OBJECT_0;
}

} // namespace

PipeState queryPipeState(HANDLE pipe)
{
    PipeLocalInformation info = {};
    IO_STATUS_BLOCK status = {};
    const NTSTATUS result =
        NtQueryInformationFile(pipe, &status, &info, sizeof info,
                               static_cast<FILE_INFORMATION_CLASS>(kFilePipeLocalInformation));
    // An NTSTATUS below zero is a failure: STATUS_ACCESS_DENIED on a handle
    // without FILE_READ_ATTRIBUTES, or a handle that is no pipe of the pipe
    // file system (a socket).
    if (result < 0)
        return PipeState::Unknown;
    return info.namedPipeState == kPipeClosingState ? PipeState::Closing : PipeState::Open;
}

void setPipeStateQueryForTesting(PipeStateQuery query)
{
    g_pipeStateQuery.store(query != nullptr ? query : &queryPipeState);
}

bool stdoutReaderGone()
{
    // Anonymous pipes are named pipes with a unique name, so the pipe's own
    // state tells when the other end has been closed: CLOSING. It is read,
    // never probed with a zero-byte write (docs/DESIGN.md, "a grab with
    // nothing to write ends").
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || GetFileType(out) != FILE_TYPE_PIPE)
        return false;
    switch (g_pipeStateQuery.load()(out)) {
    case PipeState::Closing:
        return true;
    case PipeState::Open:
        return false;
    case PipeState::Unknown:
        break;
    }
    // The pipe cannot be asked (QProcess opens its child's end for writing
    // alone): the reader is taken to be gone once the process that started
    // us has ended, with the trade-off of docs/DESIGN.md, "Windows: where the
    // pipe cannot be asked".
    return startingProcessEnded();
}
