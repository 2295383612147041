#include "coretemp.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace {

/// tasklist.exe as found in PATH's absolute folders alone (docs/DESIGN.md,
/// "`tasklist.exe` taken from PATH's absolute folders only"): a bare
/// "tasklist" would make CreateProcessW look in our folder and the current
/// directory first. The name carries ".exe": a tasklist.bat or .cmd would run
/// through cmd.exe, which parses our arguments again by rules of its own.
QString tasklistOnSearchPath()
{
    // qEnvironmentVariable reads the wide environment: a folder named
    // outside the ANSI code page is found too.
    QStringList folders;
    const QStringList entries =
        qEnvironmentVariable("PATH").split(QDir::listSeparator(), Qt::SkipEmptyParts);
    for (const QString &entry : entries) {
        if (QDir::isAbsolutePath(entry))
            folders.append(entry);
    }
    // No folder at all would make findExecutable read PATH itself.
    return folders.isEmpty()
               ? QString()
               : QStandardPaths::findExecutable(QStringLiteral("tasklist.exe"), folders);
}

} // namespace

bool coreTempProcessRunning()
{
    const QString program = tasklistOnSearchPath();
    // No tasklist: no output, as when it cannot run, and the file test decides.
    if (program.isEmpty())
        return false;
    QProcess tasklist;
    // The filter is one argument in spite of its spaces; QProcess quotes it.
    tasklist.start(program,
                   QStringList{QStringLiteral("/FI"), QStringLiteral("IMAGENAME eq Core Temp.exe"),
                               QStringLiteral("/NH")});
    // The outcome is not examined: a tasklist that did not start, failed or
    // timed out leaves little or no output, which reads as "not running".
    tasklist.waitForFinished(30000);
    return tasklistNamesCoreTemp(tasklist.readAllStandardOutput());
    // ~QProcess kills a tasklist still running and waits for it.
}
