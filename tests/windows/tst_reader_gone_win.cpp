// Whether the reader of standard output is gone, under wine: the pipes a
// reading program gives its child (CreatePipe, or a named pipe as QProcess
// makes one), a file and NUL, each set as the standard output handle for the
// length of one question; each pipe asked as wine answers and with the
// question refused, as Windows refuses it on a handle without
// FILE_READ_ATTRIBUTES.

#include <QTest>

#include <windows.h>

#include "output/reader_gone.h"
#include "output/reader_gone_win.h"

namespace {

/// How the reading program makes the pipe, and which end is ours.
enum class Output
{
    /// CreatePipe: our end may be asked.
    AnonymousPipe,
    /// A named pipe, ours the client end opened with FILE_READ_ATTRIBUTES
    /// beside the write right, as CreatePipe's write end has it.
    ClientWithAttributes,
    /// As QProcess and Python's asyncio make it: the reader's server end
    /// inbound and overlapped, ours the client end opened for writing alone.
    /// Windows refuses the question there; wine answers it.
    ClientWriteOnly,
    /// Ours the server end, made for writing alone: it cannot be asked.
    ServerWriteOnly,
    File,
    Nul,
    None,
};

PipeState refused(HANDLE)
{
    return PipeState::Unknown;
}

/// Asks stdoutReaderGone() with `handle` as standard output and puts the
/// real one back.
bool goneWithStdout(HANDLE handle)
{
    const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, handle);
    const bool gone = stdoutReaderGone();
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
    return gone;
}

void closeHandle(HANDLE &handle)
{
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    handle = nullptr;
}

/// Makes the output; `ours` is what we write to, `theirs` the reader's end
/// where there is one.
bool makeOutput(Output output, HANDLE *ours, HANDLE *theirs)
{
    switch (output) {
    case Output::AnonymousPipe:
        return CreatePipe(theirs, ours, nullptr, 0) != FALSE;
    case Output::File: {
        wchar_t folder[MAX_PATH];
        wchar_t path[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"pcr", 0, path);
        *ours = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        return *ours != INVALID_HANDLE_VALUE;
    }
    case Output::Nul:
        *ours = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
        return *ours != INVALID_HANDLE_VALUE;
    case Output::None:
        return true;
    default:
        break;
    }
    static int serial = 0;
    const std::wstring path = L"\\\\.\\pipe\\pcreport-reader-gone-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++serial);
    const bool oursIsServer = output == Output::ServerWriteOnly;
    const DWORD mode =
        oursIsServer ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED;
    HANDLE server =
        CreateNamedPipeW(path.c_str(), mode, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (server == INVALID_HANDLE_VALUE)
        return false;
    // Before the reader connects, nobody has left.
    if (oursIsServer && goneWithStdout(server)) {
        CloseHandle(server);
        return false;
    }
    const DWORD access = oursIsServer                        ? GENERIC_READ
                         : output == Output::ClientWriteOnly ? GENERIC_WRITE
                                                             : GENERIC_WRITE | FILE_READ_ATTRIBUTES;
    HANDLE client = CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (client == INVALID_HANDLE_VALUE) {
        CloseHandle(server);
        return false;
    }
    *ours = oursIsServer ? server : client;
    *theirs = oursIsServer ? client : server;
    return true;
}

} // namespace

Q_DECLARE_METATYPE(Output)

class TestReaderGoneWin : public QObject
{
    Q_OBJECT
private slots:
    void readerGone_data();
    void readerGone();
};

void TestReaderGoneWin::readerGone_data()
{
    QTest::addColumn<Output>("output");
    QTest::addColumn<bool>("refusedQuestion");
    QTest::addColumn<bool>("goneOnceClosed");
    QTest::newRow("anonymous pipe") << Output::AnonymousPipe << false << true;
    QTest::newRow("named pipe, ours the client end")
        << Output::ClientWithAttributes << false << true;
    QTest::newRow("named pipe as QProcess makes it (wine answers)")
        << Output::ClientWriteOnly << false << true;
    QTest::newRow("named pipe, ours the write-only server end")
        << Output::ServerWriteOnly << false << false;
    // A refused question falls back on the process that started this test,
    // which waits for it: never gone, whatever the pipe says.
    QTest::newRow("anonymous pipe, question refused") << Output::AnonymousPipe << true << false;
    QTest::newRow("named pipe as QProcess makes it, question refused")
        << Output::ClientWriteOnly << true << false;
    QTest::newRow("file") << Output::File << false << false;
    QTest::newRow("NUL") << Output::Nul << false << false;
    QTest::newRow("no standard output") << Output::None << false << false;
}

void TestReaderGoneWin::readerGone()
{
    QFETCH(Output, output);
    QFETCH(bool, refusedQuestion);
    QFETCH(bool, goneOnceClosed);
    setPipeStateQueryForTesting(refusedQuestion ? &refused : nullptr);
    HANDLE ours = nullptr;
    HANDLE theirs = nullptr;
    const bool made = makeOutput(output, &ours, &theirs);
    bool there[2] = {true, true};
    bool gone[2] = {false, false};
    if (made) {
        // Bytes the reader leaves unread: a slow reader is not a gone one.
        DWORD written = 0;
        if (theirs != nullptr)
            WriteFile(ours, "unread\r\n", 8, &written, nullptr);
        // Each asked twice: the question itself must change nothing.
        for (bool &answer : there)
            answer = !goneWithStdout(ours);
        closeHandle(theirs);
        for (bool &answer : gone)
            answer = goneWithStdout(ours);
    }
    closeHandle(ours);
    closeHandle(theirs);
    setPipeStateQueryForTesting(nullptr);
    QVERIFY2(made,
             "the output could not be made (or, ours a server end, was gone before a reader came)");
    QVERIFY2(there[0] && there[1], "gone while the reader is there");
    QCOMPARE(gone[0], goneOnceClosed);
    QCOMPARE(gone[1], goneOnceClosed);
}

QTEST_APPLESS_MAIN(TestReaderGoneWin)
#include "tst_reader_gone_win.moc"
