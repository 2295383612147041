#include "coretemp.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>

#include "coretemp_launch.h"

QString coreTempPath()
{
    // Mixes separators on Windows (D:/Tools\Core Temp.exe); QFile and
    // CreateProcessW both take it as it is.
    return QCoreApplication::applicationDirPath() + QDir::separator() +
           QStringLiteral("Core Temp.exe");
}

CoreTempState probeCoreTemp()
{
    if (coreTempProcessRunning())
        return Running;
    return QFile::exists(coreTempPath()) ? PresentNotRunning : Absent;
}

bool launchCoreTemp(const QString &path)
{
    const LaunchOutcome outcome = startHiddenProcess(path.toStdString());
    if (outcome.started) {
        qDebug("CoreTemp started hidden.");
        return true;
    }
    qWarning().noquote() << QString::fromStdString(launchFailureMessage(outcome.error));
    return false;
}

bool tasklistNamesCoreTemp(const QByteArray &tasklistOutput)
{
    const int nul = tasklistOutput.indexOf('\0');
    const QString text = QString::fromUtf8(nul == -1 ? tasklistOutput : tasklistOutput.left(nul));
    return text.contains(QLatin1String("Core Temp.exe"), Qt::CaseInsensitive);
}
