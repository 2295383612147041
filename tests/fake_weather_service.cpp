// Stands in for both web services in the end-to-end test: answers "/json"
// and "/data/2.5/weather" with the bodies given on the command line and
// appends the path of every request to a log file.
//
// fake_weather_service <port> <city answer> <weather answer> <log file>

#include "fake_http_server.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: fake_weather_service PORT CITY_ANSWER WEATHER_ANSWER LOG\n");
        return 2;
    }
    FakeHttpServer server;
    server.setResponse("/json", respond(args.at(2).toUtf8()));
    server.setResponse("/data/2.5/weather", respond(args.at(3).toUtf8()));
    const QString logPath = args.at(4);
    server.setRequestObserver([logPath](const FakeRequest &request) {
        QFile log(logPath);
        if (log.open(QIODevice::Append))
            log.write(request.path + '\n');
    });
    if (!server.listen(static_cast<quint16>(args.at(1).toUInt()))) {
        std::fprintf(stderr, "fake_weather_service: cannot listen on port %s\n",
                     qPrintable(args.at(1)));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
