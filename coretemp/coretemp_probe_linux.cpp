#include "coretemp_probe_linux.h"

#include <QFile>

#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "coretemp.h"
#include "common/retry_on_eintr.h"

namespace {

bool isPidName(const char *name)
{
    if (!*name)
        return false;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9')
            return false;
    }
    return true;
}

/// Reads up to size - 1 bytes of a small /proc file, NUL-terminated. False
/// when the file cannot be read, as when its process has just ended.
bool readSmallFile(const std::string &path, char *buffer, size_t size)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t n = retryOnEintr([&] { return ::read(fd, buffer, size - 1); });
    ::close(fd);
    if (n < 0)
        return false;
    buffer[n] = '\0';
    return true;
}

bool commIsCoreTemp(const std::string &pidDir)
{
    // comm holds at most 15 bytes and a newline; "Core Temp.exe" fits.
    char comm[64];
    if (!readSmallFile(pidDir + "/comm", comm, sizeof comm))
        return false;
    const size_t length = std::strlen(comm);
    if (length > 0 && comm[length - 1] == '\n')
        comm[length - 1] = '\0';
    return qstricmp(comm, "Core Temp.exe") == 0;
}

/// A zombie (or a process being torn down) still shows its comm, but is no
/// longer running; without this, one left unreaped would count for ever.
bool isLive(const std::string &pidDir)
{
    char stat[512];
    if (!readSmallFile(pidDir + "/stat", stat, sizeof stat))
        return false;
    // "pid (comm) S ...": comm may itself hold ") ", so take the last one.
    const char *close = std::strrchr(stat, ')');
    if (!close || close[1] != ' ' || close[2] == '\0')
        return false;
    return close[2] != 'Z' && close[2] != 'X' && close[2] != 'x';
}

} // namespace

bool procListNamesCoreTemp(const QString &procDir)
{
    const std::string root = QFile::encodeName(procDir).toStdString();
    DIR *dir = ::opendir(root.c_str());
    if (!dir)
        return false;
    bool found = false;
    while (const dirent *entry = ::readdir(dir)) {
        if (!isPidName(entry->d_name))
            continue;
        const std::string pidDir = root + '/' + entry->d_name;
        if (commIsCoreTemp(pidDir) && isLive(pidDir)) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

bool coreTempProcessRunning()
{
    return procListNamesCoreTemp(QStringLiteral("/proc"));
}
