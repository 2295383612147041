#include "coretemp.h"

#include <QProcess>
#include <QStringList>

bool coreTempProcessRunning()
{
    QProcess tasklist;
    // The filter is one argument in spite of its spaces; QProcess quotes it.
    tasklist.start(QStringLiteral("tasklist"),
                   QStringList{QStringLiteral("/FI"), QStringLiteral("IMAGENAME eq Core Temp.exe"),
                               QStringLiteral("/NH")});
    // The outcome is not examined: a tasklist that did not start, failed or
    // timed out leaves little or no output, which reads as "not running".
    tasklist.waitForFinished(30000);
    return tasklistNamesCoreTemp(tasklist.readAllStandardOutput());
    // ~QProcess kills a tasklist still running and waits for it.
}
