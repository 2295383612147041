// The Win32 Core Temp launcher, run under wine with a real child process.

#include "coretemp/coretemp_launch_win.h"
#include "win_check.h"

#include <windows.h>

#include <map>
#include <string>

namespace {

const wchar_t kGoEvent[] = L"pcreport_launch_go";

/// A CreateProcessW that fails with `error` and starts nothing: how a real PC
/// answers for a Core Temp that asks for elevation (740), which wine never does.
template <DWORD error>
BOOL WINAPI failsWith(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                      LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION)
{
    SetLastError(error);
    return FALSE;
}

std::string describe(const LaunchOutcome &outcome)
{
    return "started " + std::to_string(outcome.started) + ", error " +
           std::to_string(outcome.error);
}

std::map<std::string, std::string> readMarker(const std::wstring &path)
{
    std::map<std::string, std::string> values;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return values;
    std::string text(8192, '\0');
    DWORD read = 0;
    ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
    CloseHandle(file);
    text.resize(read);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos)
            values[line.substr(0, equals)] = line.substr(equals + 1);
        start = end + 1;
    }
    return values;
}

bool exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool processOpenable(DWORD pid)
{
    return wincheck::stillExists(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
}

bool threadOpenable(DWORD tid)
{
    return wincheck::stillExists(OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, tid));
}

// GetProcessHandleCount is a stub under wine (it always reports 0), so leaked
// handles are found another way: an exited process or thread stays openable
// by its id for as long as anyone holds a handle to it. This first proves the
// method on a process whose handles we keep on purpose.
void leakDetectionWorks(const std::wstring &helper)
{
    std::wstring commandLine = L"\"" + helper + L"\"";
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof process);
    // Without PCREPORT_LAUNCH_MARKER in its environment the helper exits at once.
    if (!CHECK(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &process) != 0,
               "control: the helper can be started directly",
               "error " + std::to_string(GetLastError())))
        return;
    WaitForSingleObject(process.hProcess, 20000);
    CHECK(processOpenable(process.dwProcessId) && threadOpenable(process.dwThreadId),
          "control: an exited child stays openable by id while its handles are held");
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CHECK(wincheck::waitFor(
              [&] {
                  return !processOpenable(process.dwProcessId) &&
                         !threadOpenable(process.dwThreadId);
              },
              5000),
          "control: once its handles are closed the exited child is gone");
}

/// Launches the helper as "Core Temp.exe" through `step` (the plain start, or
/// the shell's after a 740) and checks how it was started.
void launchesHiddenWithoutArguments(const std::wstring &dir, const std::wstring &helper,
                                    CreateProcessStep step, const std::string &how)
{
    // A folder name with a space and a letter outside ASCII: the path crosses
    // from UTF-8 to UTF-16 and must stay one token on the command line.
    const std::wstring folder = dir + L"launch dir \u00fc\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring target = folder + L"Core Temp.exe";
    // What an unquoted command line would run instead: "<dir>launch.exe" with
    // the rest of the path as its arguments.
    const std::wstring decoy = dir + L"launch.exe";
    if (!CHECK(CopyFileW(helper.c_str(), target.c_str(), FALSE) &&
                   CopyFileW(helper.c_str(), decoy.c_str(), FALSE),
               "launcher fixture: helper copied into a folder with a space"))
        return;

    const std::wstring marker = dir + L"launch-marker.txt";
    DeleteFileW(marker.c_str());
    DeleteFileW((marker + L".done").c_str());
    SetEnvironmentVariableW(L"PCREPORT_LAUNCH_MARKER", marker.c_str());
    SetEnvironmentVariableW(L"PCREPORT_LAUNCH_GO", kGoEvent);
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, kGoEvent);

    wincheck::note("launch " + how);
    const LaunchOutcome outcome = startHiddenProcessVia(wincheck::toUtf8(target), step);
    CHECK(outcome.started && outcome.error == 0, "launcher reports the start", describe(outcome));
    // The helper cannot finish before we set the event, so a launcher that
    // waited for it would only come back after the helper's own timeout.
    CHECK(!exists(marker + L".done"), "launcher returns while the program still runs");

    if (!CHECK(wincheck::waitFor([&] { return exists(marker); }, 20000),
               "launched program runs and leaves its marker")) {
        SetEvent(go);
        CloseHandle(go);
        return;
    }
    auto values = readMarker(marker);
    CHECK(values["module"] == wincheck::toUtf8(target), "the program at the given path is started",
          "started " + values["module"]);
    CHECK(values["cmdline"] == wincheck::toUtf8(L"\"" + target + L"\""),
          "command line is the quoted path alone", "got " + values["cmdline"]);
    CHECK(values["argc"] == "1", "program gets no arguments", "argc " + values["argc"]);
    wchar_t cwd[MAX_PATH];
    const DWORD cwdLength = GetCurrentDirectoryW(MAX_PATH, cwd);
    CHECK(values["cwd"] == wincheck::toUtf8(std::wstring(cwd, cwdLength)),
          "program inherits our working directory", "got " + values["cwd"]);
    const unsigned long flags = std::stoul("0" + values["flags"]);
    CHECK((flags & STARTF_USESHOWWINDOW) != 0 && values["show"] == std::to_string(SW_HIDE),
          "program is asked to start hidden",
          "flags " + values["flags"] + ", show " + values["show"]);

    const DWORD pid = static_cast<DWORD>(std::stoul("0" + values["pid"]));
    const DWORD tid = static_cast<DWORD>(std::stoul("0" + values["tid"]));
    HANDLE watch = OpenProcess(SYNCHRONIZE, FALSE, pid);
    CHECK(watch != nullptr && WaitForSingleObject(watch, 0) == WAIT_TIMEOUT,
          "program keeps running on its own");
    SetEvent(go);
    const bool ended = watch != nullptr && WaitForSingleObject(watch, 20000) == WAIT_OBJECT_0;
    CHECK(ended && exists(marker + L".done"), "program ends on its own");
    if (watch != nullptr)
        CloseHandle(watch);
    CHECK(wincheck::waitFor([&] { return !processOpenable(pid) && !threadOpenable(tid); }, 5000),
          "launcher keeps no handle to the program or its thread",
          std::string(processOpenable(pid) ? "process" : "") +
              (threadOpenable(tid) ? " thread" : "") + " still open");
    CloseHandle(go);
    DeleteFileW(decoy.c_str());
}

/// Failed starts report the code that ended them, and only 740 is tried again.
void failuresReportTheirCode(const std::wstring &dir)
{
    const std::wstring missing = dir + L"launch dir \u00fc\\Missing Core Temp.exe";
    // A program that would run and leave a marker if it were started anyway.
    const std::wstring present = dir + L"launch dir \u00fc\\Core Temp.exe";
    const std::wstring marker = dir + L"launch-marker.txt";
    const struct
    {
        const char *name;
        CreateProcessStep step;
        const std::wstring &path;
        unsigned long error;
    } rows[] = {
        {"missing file: the system's error 2", CreateProcessW, missing, ERROR_FILE_NOT_FOUND},
        {"740, then the shell cannot start it either: the shell's error 2",
         failsWith<kErrorElevationRequired>, missing, ERROR_FILE_NOT_FOUND},
        {"another failure (5) stands, no second try", failsWith<ERROR_ACCESS_DENIED>, present,
         ERROR_ACCESS_DENIED},
    };
    DeleteFileW(marker.c_str());
    for (const auto &row : rows) {
        const LaunchOutcome outcome = startHiddenProcessVia(wincheck::toUtf8(row.path), row.step);
        CHECK(!outcome.started && outcome.error == row.error, row.name, describe(outcome));
        CHECK(launchFailureMessage(outcome.error) ==
                  "Failed to start CoreTemp: " + std::to_string(row.error),
              std::string(row.name) + ": the warning names it",
              launchFailureMessage(outcome.error));
    }
    // The helper leaves its marker well within this when it is started.
    Sleep(2000);
    CHECK(!exists(marker), "no failed start ran the program");
}

} // namespace

int main()
{
    const std::wstring dir = wincheck::ownDirectory();
    const std::wstring helper = dir + L"launch_helper.exe";
    leakDetectionWorks(helper);
    launchesHiddenWithoutArguments(dir, helper, CreateProcessW, "directly");
    launchesHiddenWithoutArguments(dir, helper, failsWith<kErrorElevationRequired>,
                                   "through the shell after CreateProcessW's 740");
    failuresReportTheirCode(dir);
    return wincheck::finish("tst_coretemp_launch_win");
}
