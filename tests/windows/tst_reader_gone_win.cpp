// Whether the reader of standard output is gone, under wine: the pipes a
// reading program gives its child (CreatePipe, or a named pipe as QProcess
// makes one), a file and NUL, each set as the standard output handle for the
// length of one question; each pipe asked as wine answers and with the
// question refused, as Windows refuses it on a handle without
// FILE_READ_ATTRIBUTES.

#include "output/reader_gone.h"
#include "output/reader_gone_win.h"
#include "win_check.h"

#include <windows.h>

#include <string>

namespace {

using wincheck::hex;

/// Asks stdoutReaderGone() with `handle` as standard output, twice (the
/// question itself must change nothing), and puts the real one back.
bool goneWithStdout(HANDLE handle, bool *again)
{
    const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, handle);
    const bool gone = stdoutReaderGone();
    *again = stdoutReaderGone();
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
    return gone;
}

void expect(HANDLE handle, bool gone, const std::string &name)
{
    bool again = !gone;
    const bool answer = goneWithStdout(handle, &again);
    CHECK(answer == gone && again == gone, name,
          std::string("answered ") + (answer ? "gone" : "there") + ", then " +
              (again ? "gone" : "there"));
}

void closeHandle(HANDLE &handle)
{
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    handle = nullptr;
}

/// Writes a few bytes that the reader leaves unread.
void leaveUnread(HANDLE out)
{
    DWORD written = 0;
    WriteFile(out, "unread\r\n", 8, &written, nullptr);
}

PipeState refused(HANDLE)
{
    return PipeState::Unknown;
}

/// How the reading program makes the pipe, and which end is ours.
enum class Pipe
{
    /// CreatePipe: our end may be asked.
    Anonymous,
    /// A named pipe, ours the client end opened with FILE_READ_ATTRIBUTES
    /// beside the write right, as CreatePipe's write end has it.
    ClientWithAttributes,
    /// As QProcess and Python's asyncio make it: the reader's server end
    /// inbound and overlapped, ours the client end opened for writing alone.
    /// Windows refuses the question there; wine answers it.
    ClientWriteOnly,
    /// Ours the server end, made for writing alone: it cannot be asked.
    ServerWriteOnly,
};

struct PipeCase
{
    const char *name;
    Pipe pipe;
    bool refused;          ///< the question refused, as by Windows
    bool goneAfterClosing; ///< the answer once the reader closed its end
};

// A refused question falls back on the process that started this test,
// which waits for it: never gone, whatever the pipe says.
const PipeCase kPipeCases[] = {
    {"anonymous pipe", Pipe::Anonymous, false, true},
    {"named pipe, ours the client end", Pipe::ClientWithAttributes, false, true},
    {"named pipe as QProcess makes it (wine answers)", Pipe::ClientWriteOnly, false, true},
    {"named pipe, ours the write-only server end", Pipe::ServerWriteOnly, false, false},
    {"anonymous pipe, question refused", Pipe::Anonymous, true, false},
    {"named pipe as QProcess makes it, question refused", Pipe::ClientWriteOnly, true, false},
};

/// Makes the pipe; `ours` is what we write to, `theirs` the reader's end.
bool makePipe(Pipe pipe, const std::string &name, HANDLE *ours, HANDLE *theirs)
{
    if (pipe == Pipe::Anonymous)
        return CHECK(CreatePipe(theirs, ours, nullptr, 0) != FALSE, name + ": CreatePipe",
                     hex(GetLastError()));
    static int serial = 0;
    const std::wstring path = L"\\\\.\\pipe\\pcreport-stdout-peer-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++serial);
    const bool oursIsServer = pipe == Pipe::ServerWriteOnly;
    const DWORD mode = oursIsServer ? PIPE_ACCESS_OUTBOUND
                                    : PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED;
    HANDLE server = CreateNamedPipeW(path.c_str(), mode, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                     4096, 0, nullptr);
    if (!CHECK(server != INVALID_HANDLE_VALUE, name + ": CreateNamedPipeW", hex(GetLastError())))
        return false;
    // Before the reader connects, nobody has left.
    if (oursIsServer)
        expect(server, false, name + ", no reader yet: not gone");
    const DWORD access = oursIsServer                    ? GENERIC_READ
                         : pipe == Pipe::ClientWriteOnly ? GENERIC_WRITE
                                                         : GENERIC_WRITE | FILE_READ_ATTRIBUTES;
    HANDLE client = CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!CHECK(client != INVALID_HANDLE_VALUE, name + ": open the client end",
               hex(GetLastError()))) {
        CloseHandle(server);
        return false;
    }
    *ours = oursIsServer ? server : client;
    *theirs = oursIsServer ? client : server;
    return true;
}

void pipes()
{
    for (const PipeCase &row : kPipeCases) {
        const std::string name = row.name;
        setPipeStateQueryForTesting(row.refused ? &refused : nullptr);
        HANDLE ours = nullptr;
        HANDLE theirs = nullptr;
        if (makePipe(row.pipe, name, &ours, &theirs)) {
            leaveUnread(ours);
            expect(ours, false, name + ", reader there with data unread: not gone");
            closeHandle(theirs);
            expect(ours, row.goneAfterClosing,
                   name + ", reader closed: " + (row.goneAfterClosing ? "gone" : "not gone"));
        }
        closeHandle(ours);
        closeHandle(theirs);
    }
    setPipeStateQueryForTesting(nullptr);
}

void fileAndNul()
{
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"pcr", 0, path);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (CHECK(file != INVALID_HANDLE_VALUE, "create a file", hex(GetLastError())))
        expect(file, false, "file: never gone");
    closeHandle(file);

    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (CHECK(nul != INVALID_HANDLE_VALUE, "open NUL", hex(GetLastError())))
        expect(nul, false, "NUL: never gone");
    closeHandle(nul);

    expect(nullptr, false, "no standard output: never gone");
}

} // namespace

int main()
{
    pipes();
    fileAndNul();
    return wincheck::finish("tst_reader_gone_win");
}
