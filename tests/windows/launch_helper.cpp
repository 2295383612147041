// Started by tst_coretemp_launch_win in place of Core Temp. It writes down how
// it was started (file, command line, argument count, working directory, show
// state, its process and thread ids) into the file named by
// PCREPORT_LAUNCH_MARKER, then waits for the event named by PCREPORT_LAUNCH_GO
// so that the test can see it still running, and leaves "<marker>.done".

#include <windows.h>

#include <string>

namespace {

std::wstring environment(const wchar_t *name)
{
    wchar_t value[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH * 2);
    return length > 0 && length < MAX_PATH * 2 ? std::wstring(value, length) : std::wstring();
}

bool writeFile(const std::wstring &path, const std::wstring &text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), length,
                        nullptr, nullptr);
    // Written aside and renamed, so the test never reads half a marker.
    const std::wstring partial = path + L".partial";
    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok =
        WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr) &&
        written == utf8.size();
    CloseHandle(file);
    return ok && MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

} // namespace

int main(int argc, char **)
{
    const std::wstring marker = environment(L"PCREPORT_LAUNCH_MARKER");
    const std::wstring go = environment(L"PCREPORT_LAUNCH_GO");
    if (marker.empty() || go.empty())
        return 2;

    wchar_t module[MAX_PATH];
    const DWORD moduleLength = GetModuleFileNameW(nullptr, module, MAX_PATH);
    wchar_t cwd[MAX_PATH];
    const DWORD cwdLength = GetCurrentDirectoryW(MAX_PATH, cwd);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);

    std::wstring text;
    text += L"module=" + std::wstring(module, moduleLength) + L"\n";
    text += L"cmdline=" + std::wstring(GetCommandLineW()) + L"\n";
    text += L"argc=" + std::to_wstring(argc) + L"\n";
    text += L"cwd=" + std::wstring(cwd, cwdLength) + L"\n";
    text += L"flags=" + std::to_wstring(startup.dwFlags) + L"\n";
    text += L"show=" + std::to_wstring(startup.wShowWindow) + L"\n";
    text += L"pid=" + std::to_wstring(GetCurrentProcessId()) + L"\n";
    text += L"tid=" + std::to_wstring(GetCurrentThreadId()) + L"\n";
    if (!writeFile(marker, text))
        return 3;

    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, go.c_str());
    if (event != nullptr) {
        WaitForSingleObject(event, 30000);
        CloseHandle(event);
    }
    return writeFile(marker + L".done", L"done\n") ? 0 : 4;
}
