// Whether the reader of standard output is gone, under wine: the pipes a
// reading program gives its child (CreatePipe, or a named pipe as QProcess
// makes one), a file and NUL, each set as the standard output handle for the
// length of one question.

#include "output/stdout_peer.h"
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

void anonymousPipe()
{
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CHECK(CreatePipe(&read, &write, nullptr, 0) != FALSE, "CreatePipe"))
        return;
    leaveUnread(write);
    expect(write, false, "anonymous pipe, reader there with data unread: not gone");
    closeHandle(read);
    expect(write, true, "anonymous pipe, reader closed: gone");
    closeHandle(write);
}

/// A named pipe between the reader and us, either way round. Ours the client
/// end: the reader reads from the server end, and we write to a client end
/// opened with FILE_READ_ATTRIBUTES beside the write right, as CreatePipe's
/// write end has it. Ours the server end, made for writing alone: it lacks
/// the right to ask its state, and a question that fails must never count
/// as a gone reader. Before the reader connects, nobody has left.
void namedPipe(bool oursIsServer)
{
    const std::wstring name = L"\\\\.\\pipe\\pcreport-stdout-peer-" +
                              std::to_wstring(GetCurrentProcessId()) +
                              (oursIsServer ? L"-server" : L"-client");
    const std::string kind = oursIsServer ? "named pipe, ours the write-only server end"
                                          : "named pipe, ours the client end";
    HANDLE server =
        CreateNamedPipeW(name.c_str(), oursIsServer ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND,
                         PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (!CHECK(server != INVALID_HANDLE_VALUE, kind + ": CreateNamedPipeW", hex(GetLastError())))
        return;
    if (oursIsServer)
        expect(server, false, kind + ", no reader yet: not gone");
    HANDLE client = CreateFileW(name.c_str(),
                                oursIsServer ? GENERIC_READ : GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE &ours = oursIsServer ? server : client;
    HANDLE &theirs = oursIsServer ? client : server;
    if (CHECK(client != INVALID_HANDLE_VALUE, kind + ": open the client end",
              hex(GetLastError()))) {
        leaveUnread(ours);
        expect(ours, false, kind + ", reader there with data unread: not gone");
        closeHandle(theirs);
        expect(ours, !oursIsServer,
               kind + (oursIsServer ? ", reader closed: cannot be asked, not gone"
                                    : ", reader closed: gone"));
    }
    closeHandle(client);
    closeHandle(server);
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
    anonymousPipe();
    namedPipe(false);
    namedPipe(true);
    fileAndNul();
    return wincheck::finish("tst_stdout_peer_win");
}
