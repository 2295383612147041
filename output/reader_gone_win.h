#pragma once

// Windows only: how stdoutReaderGone() asks a pipe for its state, replaceable
// by tests. The program itself never changes it.

#include <windows.h>

/// What a pipe handle tells of its state.
enum class PipeState
{
    Open,    ///< the other end is still there
    Closing, ///< the other end has been closed
    Unknown, ///< the question was refused or failed
};

/// Asks the pipe file system (NtQueryInformationFile) for the state of
/// `pipe`. Windows answers only on a handle with FILE_READ_ATTRIBUTES.
PipeState queryPipeState(HANDLE pipe);

using PipeStateQuery = PipeState (*)(HANDLE pipe);

/// Replaces the question stdoutReaderGone() asks (nullptr: the real one
/// again), so that a test can stand for a Windows that refuses it. Set it
/// before the question is first asked.
void setPipeStateQueryForTesting(PipeStateQuery query);
