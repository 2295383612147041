#include "coretemp.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace {

/// tasklist.exe as found on the search path alone. A bare "tasklist" would
/// reach CreateProcessW, which looks in this program's folder and then in the
/// current directory before the system folders: a tasklist.exe left in the
/// reading program's working directory would run with its rights. Relative
/// entries of PATH ("." among them) would lead back there, so only absolute
/// ones count. The name carries ".exe", as CreateProcessW would have added:
/// a tasklist.bat or .cmd would run through cmd.exe, which parses our
/// arguments again by rules of its own.
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
