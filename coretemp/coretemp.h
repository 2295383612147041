#pragma once

#include <QString>

/// Result of looking for Core Temp; the values are shared with the reading
/// program's expectations and must not change.
enum CoreTempState : int {
    Absent = 0,            ///< not running, and no "Core Temp.exe" beside this program
    Running = 1,           ///< a process of that image name runs (from anywhere)
    PresentNotRunning = 2, ///< not running, but "Core Temp.exe" lies beside this program
};

/// applicationDirPath + native separator + "Core Temp.exe". Built afresh on every call.
QString coreTempPath();

/// Is Core Temp running, and if not, does it lie beside the program?
/// Blocks while the platform's process list is read (tasklist on Windows:
/// up to 30 s; /proc on Linux: milliseconds).
CoreTempState probeCoreTemp();

/// Starts the program at `path` hidden and detached, with no arguments, in
/// this program's working directory. Logs "CoreTemp started hidden." on
/// success, "Failed to start CoreTemp: <code>" on failure.
bool launchCoreTemp(const QString &path);

/// True when tasklist's output (UTF-8, cut at the first NUL) names
/// "Core Temp.exe" in any letter case.
bool tasklistNamesCoreTemp(const QByteArray &tasklistOutput);

/// Platform part of the probe: does a process with Core Temp's image name run?
bool coreTempProcessRunning();
