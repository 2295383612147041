#include "coretemp_launch_win.h"

#include <shellapi.h>

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

/// Starts `path` the way Explorer would, so that Windows asks the user for
/// consent when the program must run elevated, by the rules of docs/DESIGN.md,
/// "a Core Temp that asks for elevation" (lpDirectory null: our working
/// directory; no SEE_MASK_NOCLOSEPROCESS: no handle kept). SEE_MASK_NOASYNC:
/// the call must be over when we return, as nothing on this thread pumps
/// messages for the shell until much later.
LaunchOutcome startThroughShell(const std::wstring &path)
{
    LaunchOutcome outcome;
    // The shell may hand the start to COM extensions; an apartment of our own
    // for the length of the call, or the caller's if it already has one.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpFile = path.c_str();
    info.nShow = SW_HIDE;
    if (ShellExecuteExW(&info)) {
        outcome.started = true;
    } else {
        // 1223 (ERROR_CANCELLED) when the user declines.
        outcome.error = GetLastError();
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    return outcome;
}

} // namespace

LaunchOutcome startHiddenProcess(const std::string &utf8Path)
{
    return startHiddenProcessVia(utf8Path, CreateProcessW);
}

LaunchOutcome startHiddenProcessVia(const std::string &utf8Path, CreateProcessStep createProcess)
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

    if (!createProcess(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                       nullptr, nullptr, &startup, &process)) {
        outcome.error = GetLastError();
        // Core Temp as installed asks for administrator rights, which
        // CreateProcessW cannot ask for; only the shell can. Any other
        // failure stands as it is.
        if (outcome.error == kErrorElevationRequired)
            return startThroughShell(path);
        return outcome;
    }
    // Core Temp is not ours to watch: keep no handle to it.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    outcome.started = true;
    return outcome;
}
