#include "coretemp_launch.h"

#include <windows.h>

#include <vector>

namespace {

/// UTF-8 to UTF-16; false when the bytes are not valid UTF-8.
bool toWide(const std::string &utf8, std::wstring &wide)
{
    wide.clear();
    if (utf8.empty())
        return true;
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                           static_cast<int>(utf8.size()), nullptr, 0);
    if (length <= 0)
        return false;
    wide.resize(static_cast<std::size_t>(length));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                               static_cast<int>(utf8.size()), wide.data(), length) == length;
}

} // namespace

LaunchOutcome startHiddenProcess(const std::string &utf8Path)
{
    LaunchOutcome outcome;
    std::wstring path;
    if (!toWide(utf8Path, path)) {
        outcome.error = GetLastError();
        return outcome;
    }

    // The whole path is one quoted token, so a folder or file name with spaces
    // ("Core Temp.exe") is never split into program and arguments. CreateProcessW
    // may write into its command line, hence a private, writable copy.
    const std::wstring quoted = L"\"" + path + L"\"";
    std::vector<wchar_t> commandLine(quoted.begin(), quoted.end());
    commandLine.push_back(L'\0');

    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof process);

    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process)) {
        outcome.error = GetLastError();
        return outcome;
    }
    // Core Temp is not ours to watch: keep no handle to it.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    outcome.started = true;
    return outcome;
}
