// Answers pcreport's tasklist query under wine, whose own tasklist ignores the
// filter. It appends the arguments it got, one per line, to tasklist_args.txt
// beside itself and answers as tasklist_mode.txt there says: "running" (a
// line naming Core Temp.exe), "other" (tasklist's no-match message),
// "silent" (nothing) or "hang" (nothing for a minute).

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string ownDirectory()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, length);
    return dir.substr(0, dir.find_last_of('\\') + 1);
}

} // namespace

int main(int argc, char *argv[])
{
    const std::string dir = ownDirectory();
    if (std::FILE *log = std::fopen((dir + "tasklist_args.txt").c_str(), "a")) {
        for (int i = 1; i < argc; ++i)
            std::fprintf(log, "%s\n", argv[i]);
        std::fclose(log);
    }
    char mode[32] = {};
    if (std::FILE *in = std::fopen((dir + "tasklist_mode.txt").c_str(), "r")) {
        if (!std::fgets(mode, sizeof mode, in))
            mode[0] = '\0';
        std::fclose(in);
    }
    const std::string answer(mode);
    if (answer.rfind("running", 0) == 0)
        std::printf(
            "Core Temp.exe                 4242 Console                    1     12,345 K\n");
    else if (answer.rfind("other", 0) == 0)
        std::printf("INFO: No tasks are running which match the specified criteria.\n");
    else if (answer.rfind("hang", 0) == 0)
        Sleep(60000);
    return 0;
}
