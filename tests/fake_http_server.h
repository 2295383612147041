#pragma once

#include "weather/weather_client.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>

class QThread;
class QTcpServer;
class QTcpSocket;

/// How the fake server answers one path.
struct FakeResponse
{
    QByteArray body;
    QByteArray statusLine = "200 OK";
    int chunks = 1;        ///< the body goes out in this many writes
    int chunkDelayMs = 0;  ///< pause between two writes
    int headerDelayMs = 0; ///< pause before anything is sent
    int cutAfter = -1;     ///< close after this many body bytes (Content-Length stays whole)
    bool hang = false;     ///< read the request, never answer
};
Q_DECLARE_METATYPE(FakeResponse)

/// `body` with 200 OK, in one write.
inline FakeResponse respond(const QByteArray &body)
{
    FakeResponse response;
    response.body = body;
    return response;
}

/// Reads the request and never answers.
inline FakeResponse hang()
{
    FakeResponse response;
    response.hang = true;
    return response;
}

/// One request as the server saw it.
struct FakeRequest
{
    QByteArray target; ///< path and query, as sent
    QByteArray path;   ///< target without the query
    QByteArray userAgent;
};

/// A small HTTP/1.1 server on 127.0.0.1 running on a thread of its own, so
/// blocking clients in the test's thread can talk to it. Answers each path
/// as configured (404 for unknown paths) and records every request.
class FakeHttpServer : public QObject
{
    Q_OBJECT
public:
    FakeHttpServer();
    ~FakeHttpServer() override;

    /// Listens on 127.0.0.1:`port` (0 picks a free one). False on failure.
    bool listen(quint16 port = 0);
    quint16 port() const { return m_port; }
    QString baseUrl() const;

    /// From the next request to `path` on, answers it with `response`.
    /// Returns how many requests to `path` came before the change.
    int setResponse(const QByteArray &path, const FakeResponse &response);
    QList<FakeRequest> requests() const;
    int requestCount(const QByteArray &path) const;
    /// Called on the server's thread for every request, before it is answered.
    void setRequestObserver(std::function<void(const FakeRequest &)> observer);
    /// Until `deadline` has passed, every connection is reset as soon as it
    /// is accepted, before a byte is read, and `onDrop` is called for it on
    /// the server's thread: a network that is not there yet.
    void dropConnectionsUntil(QDeadlineTimer deadline, std::function<void()> onDrop);

private:
    /// Runs `work` on the server thread and returns when it is done.
    void runOnServerThread(const std::function<void()> &work);
    int countLocked(const QByteArray &path) const;
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const FakeResponse &response);
    void sendChunks(QTcpSocket *socket, FakeResponse response, int sent, int piece);

    QThread *m_thread = nullptr;
    QTcpServer *m_server = nullptr; ///< lives on m_thread
    quint16 m_port = 0;
    mutable std::mutex m_mutex; // pthread-backed, so ThreadSanitizer follows it
    QHash<QByteArray, FakeResponse> m_responses;
    QList<FakeRequest> m_requests;
    std::function<void(const FakeRequest &)> m_observer;
    QDeadlineTimer m_dropUntil{0};
    std::function<void()> m_onDrop;
};

/// A client's endpoints with both services at `server`.
inline WeatherHooks endpointsAt(const FakeHttpServer &server)
{
    WeatherHooks endpoints;
    endpoints.geoBaseUrl = server.baseUrl();
    endpoints.weatherBaseUrl = server.baseUrl();
    return endpoints;
}

/// Base of the tests that talk to a FakeHttpServer through libcurl: libcurl
/// set up once, as main does, and a fresh server for every test function.
class FakeHttpTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

protected:
    std::unique_ptr<FakeHttpServer> m_server;
};
