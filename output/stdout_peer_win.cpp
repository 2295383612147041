#include "stdout_peer.h"

#include <windows.h>

#include <winternl.h>

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

} // namespace

bool stdoutReaderGone()
{
    // Anonymous pipes are named pipes with a unique name, so the pipe's own
    // state tells when the other end has been closed: CLOSING. It is read,
    // not probed: a zero-byte WriteFile is a "null write" whose effect depends
    // on the pipe, and a reader may take an empty read for the end of its
    // input. Needs FILE_READ_ATTRIBUTES, which the write end of CreatePipe
    // has; anything that cannot be asked (a socket, a handle without that
    // right, wine's wrapper of a Unix pipe) is never gone.
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || GetFileType(out) != FILE_TYPE_PIPE)
        return false;
    PipeLocalInformation info = {};
    IO_STATUS_BLOCK status = {};
    const NTSTATUS result =
        NtQueryInformationFile(out, &status, &info, sizeof info,
                               static_cast<FILE_INFORMATION_CLASS>(kFilePipeLocalInformation));
    // An NTSTATUS below zero is a failure.
    return result >= 0 && info.namedPipeState == kPipeClosingState;
}
