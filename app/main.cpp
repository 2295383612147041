#include <QCoreApplication>

#include "app/command_line.h"
#include "output/grab_pc_data.h"

int main(int argc, char *argv[])
{
    // Diagnostics belong on standard error. Started without a console (as a
    // reading program on Windows starts us), Qt's default handler would send
    // them to the debugger instead, where nobody reads them.
    qputenv("QT_FORCE_STDERR_LOGGING", "1");

    // First, before anything else: the probe needs applicationDirPath, grab
    // mode the event loop. The scan sees the arguments as Qt leaves them.
    QCoreApplication app(argc, argv);

    const ModeRequest request = scanModes(argc, argv);
    if (request.check)
        return printCheckResult() ? 1 : 0;

    switch (infoRequest(argc, argv)) {
    case InfoRequest::Usage:
        printUsage();
        return 0;
    case InfoRequest::Version:
        printVersion();
        return 0;
    case InfoRequest::None:
        break;
    }

    if (request.grab) {
        // Never destroyed: it lives until the process is killed.
        new QGrabPcData(nullptr);
    }

    // Nothing ever quits the loop; outside check mode the process ends when
    // it is killed. A plain start without a mode word idles here silently.
    return app.exec();
}
