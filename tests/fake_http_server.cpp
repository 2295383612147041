#include "fake_http_server.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <curl/curl.h>

#include <algorithm>
#include <future>

FakeHttpServer::FakeHttpServer()
{
    m_thread = new QThread;
    m_thread->start();
    moveToThread(m_thread);
}

void FakeHttpServer::runOnServerThread(const std::function<void()> &work)
{
    // A promise rather than a blocking queued call: its hand-over is one that
    // ThreadSanitizer can follow.
    std::promise<void> done;
    QMetaObject::invokeMethod(this, [&] {
        work();
        done.set_value();
    });
    done.get_future().wait();
}

FakeHttpServer::~FakeHttpServer()
{
    // The sockets and the listener are our children on the server thread;
    // delete them there before the thread ends.
    runOnServerThread([this] {
        delete m_server;
        m_server = nullptr;
        const QObjectList sockets = children();
        qDeleteAll(sockets);
    });
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

bool FakeHttpServer::listen(quint16 port)
{
    bool ok = false;
    runOnServerThread([this, port, &ok] {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, &FakeHttpServer::onNewConnection);
        ok = m_server->listen(QHostAddress::LocalHost, port);
        m_port = m_server->serverPort();
    });
    return ok;
}

QString FakeHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

int FakeHttpServer::setResponse(const QByteArray &path, const FakeResponse &response)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_responses.insert(path, response);
    return countLocked(path);
}

QList<FakeRequest> FakeHttpServer::requests() const
{
    // A list of its own, not a shared copy of ours: Qt 5 tells whether a
    // list is shared with a relaxed load, so the server thread's next append
    // could write in place while the caller still copies the block out.
    const std::lock_guard<std::mutex> lock(m_mutex);
    QList<FakeRequest> copy;
    copy.reserve(m_requests.size());
    for (const FakeRequest &request : m_requests)
        copy.append(request);
    return copy;
}

int FakeHttpServer::requestCount(const QByteArray &path) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return countLocked(path);
}

int FakeHttpServer::countLocked(const QByteArray &path) const
{
    return static_cast<int>(std::count_if(m_requests.cbegin(), m_requests.cend(),
                                          [&](const FakeRequest &r) { return r.path == path; }));
}

void FakeHttpServer::setRequestObserver(std::function<void(const FakeRequest &)> observer)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_observer = std::move(observer);
}

void FakeHttpServer::dropConnectionsUntil(QDeadlineTimer deadline, std::function<void()> onDrop)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_dropUntil = deadline;
    m_onDrop = std::move(onDrop);
}

void FakeHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        std::function<void()> onDrop;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_dropUntil.hasExpired())
                onDrop = m_onDrop ? m_onDrop : [] {};
        }
        if (onDrop) {
            // Closed with the request unread: the peer gets a reset.
            socket->abort();
            delete socket;
            onDrop();
            continue;
        }
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void FakeHttpServer::onReadyRead(QTcpSocket *socket)
{
    // Requests are GETs without a body: wait for the end of the headers.
    QByteArray head = socket->property("head").toByteArray() + socket->readAll();
    const int end = head.indexOf("\r\n\r\n");
    if (end < 0) {
        socket->setProperty("head", head);
        return;
    }
    socket->setProperty("head", QByteArray());
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);

    FakeRequest request;
    const QList<QByteArray> lines = head.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.target = requestLine.value(1);
    request.path = request.target.left(
        request.target.indexOf('?') < 0 ? request.target.size() : request.target.indexOf('?'));
    for (const QByteArray &line : lines) {
        if (line.toLower().startsWith("user-agent:"))
            request.userAgent = line.mid(int(qstrlen("user-agent:"))).trimmed();
    }

    FakeResponse response;
    std::function<void(const FakeRequest &)> observer;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.append(request);
        observer = m_observer;
        if (m_responses.contains(request.path)) {
            response = m_responses.value(request.path);
        } else {
            response.statusLine = "404 Not Found";
            response.body = "{}";
        }
    }
    if (observer)
        observer(request);
    if (response.hang)
        return;
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(response.headerDelayMs, this, [this, guard, response] {
        if (guard)
            answer(guard, response);
    });
}

void FakeHttpServer::answer(QTcpSocket *socket, const FakeResponse &response)
{
    socket->write("HTTP/1.1 " + response.statusLine +
                  "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
                  QByteArray::number(response.body.size()) + "\r\nConnection: close\r\n\r\n");
    socket->flush();
    sendChunks(socket, response, 0, 0);
}

void FakeHttpServer::sendChunks(QTcpSocket *socket, FakeResponse response, int sent, int piece)
{
    const int total = response.cutAfter >= 0
                          ? std::min(response.cutAfter, int(response.body.size()))
                          : int(response.body.size());
    const int pieces = std::max(1, response.chunks);
    const int pieceSize = (int(response.body.size()) + pieces - 1) / pieces;
    const int length = std::max(0, std::min(pieceSize, total - sent));
    if (length > 0) {
        socket->write(response.body.constData() + sent, length);
        socket->flush();
        sent += length;
    }
    if (sent >= total) {
        // A cut answer ends with the connection closed short of its
        // Content-Length, which the client has to treat as a failure.
        socket->disconnectFromHost();
        return;
    }
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(response.chunkDelayMs, this, [this, guard, response, sent, piece] {
        if (guard)
            sendChunks(guard, response, sent, piece + 1);
    });
}

void FakeHttpTest::initTestCase()
{
    QCOMPARE(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK);
}

void FakeHttpTest::cleanupTestCase()
{
    curl_global_cleanup();
}

void FakeHttpTest::init()
{
    m_server = std::make_unique<FakeHttpServer>();
    QVERIFY(m_server->listen());
}

void FakeHttpTest::cleanup()
{
    m_server.reset();
}
