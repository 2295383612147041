// Stands in for both web services in the end-to-end test: answers "/json"
// and "/data/2.5/weather" with the bodies given on the command line and
// appends the path of every request to a log file. A weather answer of
// "fault:hang", "fault:trickle" (a byte a second), "fault:drop", "fault:junk"
// or "fault:huge" (50 MiB) answers badly instead.
//
// With FAKE_SERVICE_DROP_MS set, both services are not there yet for that
// many milliseconds from the start: every connection is reset as soon as it
// is accepted, and logged as "dropped". After that the weather is answered
// only once a city lookup has been: before, a request has no city, and gets
// what the real service says to an empty "q".
//
// fake_weather_service <port> <city answer> <weather answer> <log file>

#include "fake_http_server.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

namespace {

FakeResponse weatherResponse(const QByteArray &answer)
{
    const QByteArray good = R"({"weather":[{"id":800}],"main":{"temp":12.5},"cod":200})";
    FakeResponse response = respond(good);
    if (answer == "fault:hang") {
        response = hang();
    } else if (answer == "fault:trickle") {
        response.chunks = good.size();
        response.chunkDelayMs = 1000;
    } else if (answer == "fault:drop") {
        response.cutAfter = 10;
    } else if (answer == "fault:junk") {
        response.body.clear();
        for (int i = 0; i < 4096; ++i)
            response.body.append(char((i * 7919) & 0xff));
    } else if (answer == "fault:huge") {
        response.body = QByteArray(50 << 20, '[');
    } else {
        response = respond(answer);
    }
    return response;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: fake_weather_service PORT CITY_ANSWER WEATHER_ANSWER LOG\n");
        return 2;
    }
    FakeHttpServer server;
    const QByteArray weatherPath = "/data/2.5/weather";
    const FakeResponse weather = weatherResponse(args.at(3).toUtf8());
    const int dropMs = qEnvironmentVariableIntValue("FAKE_SERVICE_DROP_MS");
    server.setResponse("/json", respond(args.at(2).toUtf8()));
    server.setResponse(weatherPath,
                       dropMs > 0 ? respond(R"({"cod":"400","message":"Nothing to geocode"})")
                                  : weather);
    const QString logPath = args.at(4);
    const auto logLine = [logPath](const QByteArray &line) {
        QFile log(logPath);
        if (log.open(QIODevice::Append))
            log.write(line + '\n');
    };
    server.setRequestObserver([&server, logLine, weatherPath, weather](const FakeRequest &request) {
        logLine(request.path);
        if (request.path == "/json")
            server.setResponse(weatherPath, weather);
    });
    if (dropMs > 0)
        server.dropConnectionsUntil(QDeadlineTimer(dropMs), [logLine] { logLine("dropped"); });
    if (!server.listen(static_cast<quint16>(args.at(1).toUInt()))) {
        std::fprintf(stderr, "fake_weather_service: cannot listen on port %s\n",
                     qPrintable(args.at(1)));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
