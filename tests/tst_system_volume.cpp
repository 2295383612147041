#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "output/system_volume.h"

// readSystemVolume against a private PulseAudio server with a null sink,
// started by this test on a socket of its own.

namespace {

constexpr int kStartupMs = 15000;
// The call bounds itself at 500 ms; the rest is room for a loaded machine.
constexpr qint64 kBoundCheckMs = 1200;
constexpr int kLevel = 50; // what a fresh server's sink is set to

enum class Fault
{
    KickClient,
    Stop,
    Kill
};

bool unixAddress(const QString &path, sockaddr_un *address)
{
    *address = {};
    address->sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    if (size_t(encoded.size()) >= sizeof address->sun_path)
        return false;
    qstrncpy(address->sun_path, encoded.constData(), sizeof address->sun_path);
    return true;
}

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestSystemVolume : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void levels_data();
    void levels();
    void defaultSinkCounts();
    void sinkGone();
    void faults_data();
    void faults();
    void noServerThenSilentServer();

private:
    bool startServer();
    bool pactl(const QStringList &args, QByteArray *output = nullptr);
    bool serverCommand(const QByteArray &line);
    QStringList ourClients();
    QProcessEnvironment environment() const;

    QTemporaryDir m_dir;
    QProcess m_server;
    QString m_socket;
    QStringList m_clients; ///< ours, as the first level row found them
};

QProcessEnvironment TestSystemVolume::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", m_dir.filePath("home"));
    env.insert("XDG_RUNTIME_DIR", m_dir.filePath("run"));
    env.insert("XDG_CONFIG_HOME", m_dir.filePath("home/.config"));
    env.insert("PULSE_SERVER", "unix:" + m_socket);
    env.remove("DISPLAY"); // keep libpulse away from X11 properties
    return env;
}

bool TestSystemVolume::pactl(const QStringList &args, QByteArray *output)
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start("pactl", args);
    const bool ok = process.waitForFinished(10000) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (output)
        *output = process.readAllStandardOutput();
    return ok;
}

// The server's indexes of the clients this process has open.
QStringList TestSystemVolume::ourClients()
{
    QByteArray listing;
    if (!pactl({"list", "short", "clients"}, &listing))
        return {"pactl failed"};
    const QString binary = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    QStringList indexes;
    for (const QString &line : QString::fromLocal8Bit(listing).split('\n')) {
        const QStringList fields = line.split('\t');
        if (fields.size() >= 3 && fields[2] == binary)
            indexes << fields[0];
    }
    return indexes;
}

// A line for the server's command-line interface (pactl has no kill-client).
bool TestSystemVolume::serverCommand(const QByteArray &line)
{
    sockaddr_un address;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool sent = fd >= 0 && unixAddress(m_dir.filePath("cli"), &address) &&
                      ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                      ::write(fd, line.constData(), line.size()) == line.size();
    if (fd >= 0)
        ::close(fd);
    return sent;
}

// -n: no default script, only the modules named. As root the daemon warns that
// it is meant for --system, and runs all the same; no pid file keeps it clear
// of any other daemon of the same user. A socket left by a killed server is
// taken over.
bool TestSystemVolume::startServer()
{
    m_server.setProcessEnvironment(environment());
    m_server.setStandardOutputFile(QProcess::nullDevice());
    m_server.setStandardErrorFile(m_dir.filePath("pulseaudio.log"));
    m_server.start("pulseaudio", {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                                  "--use-pid-file=no", "--disable-shm=yes", "-L",
                                  "module-native-protocol-unix auth-anonymous=1 socket=" + m_socket,
                                  "-L", "module-cli-protocol-unix socket=" + m_dir.filePath("cli"),
                                  "-L", "module-null-sink sink_name=testsink"});
    if (!m_server.waitForStarted())
        return false;
    QElapsedTimer startup;
    startup.start();
    while (!pactl({"info"})) {
        if (m_server.state() != QProcess::Running || startup.elapsed() > kStartupMs)
            return false;
        QThread::msleep(50);
    }
    return pactl({"set-default-sink", "testsink"}) &&
           pactl({"set-sink-volume", "testsink", QString("%1%").arg(kLevel)});
}

void TestSystemVolume::initTestCase()
{
    if (QStandardPaths::findExecutable("pulseaudio").isEmpty() ||
        QStandardPaths::findExecutable("pactl").isEmpty())
        QSKIP("pulseaudio and pactl are not installed (Debian: pulseaudio pulseaudio-utils)");
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath("home/.config"));
    QVERIFY(QDir(m_dir.path()).mkpath("run"));
    QFile::setPermissions(m_dir.filePath("run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    m_socket = m_dir.filePath("native");

    // The code under test finds the server the way libpulse always does.
    const QProcessEnvironment env = environment();
    for (const char *name : {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "PULSE_SERVER"})
        qputenv(name, env.value(name).toLocal8Bit());
    qunsetenv("DISPLAY");

    if (!startServer()) {
        QFile log(m_dir.filePath("pulseaudio.log"));
        log.open(QIODevice::ReadOnly);
        QFAIL(qPrintable("PulseAudio did not come up:\n" + QString::fromLocal8Bit(log.readAll())));
    }
}

void TestSystemVolume::cleanupTestCase()
{
    if (m_server.state() != QProcess::NotRunning) {
        ::kill(pid_t(m_server.processId()), SIGCONT);
        m_server.kill();
        m_server.waitForFinished();
    }
}

void TestSystemVolume::levels_data()
{
    // Levels as pactl takes them (a percent, or raw steps of 1/65536) and the
    // whole percent every mixer shows for them.
    QTest::addColumn<QStringList>("volume");
    QTest::addColumn<bool>("muted");
    QTest::addColumn<int>("expected");
    QTest::newRow("30 % is stored as 19660 steps") << QStringList{"30%"} << false << 30;
    QTest::newRow("70 %, whose float lies under 0.7") << QStringList{"70%"} << false << 70;
    QTest::newRow("29 %") << QStringList{"29%"} << false << 29;
    QTest::newRow("1 %") << QStringList{"1%"} << false << 1;
    QTest::newRow("0 % is a level, not a failure") << QStringList{"0%"} << false << 0;
    QTest::newRow("100 %") << QStringList{"100%"} << false << 100;
    QTest::newRow("muted at 75 % reports 75") << QStringList{"75%"} << true << 75;
    QTest::newRow("amplified above 100 % clamps") << QStringList{"150%"} << false << 100;
    QTest::newRow("327 steps round down to 0") << QStringList{"327"} << false << 0;
    QTest::newRow("328 steps round up to 1") << QStringList{"328"} << false << 1;
    QTest::newRow("19988 steps (30.499 %) round down") << QStringList{"19988"} << false << 30;
    QTest::newRow("19989 steps (30.501 %) round up") << QStringList{"19989"} << false << 31;
    QTest::newRow("65535 steps show as 100") << QStringList{"65535"} << false << 100;
    QTest::newRow("the louder channel counts") << QStringList{"20%", "45%"} << false << 45;
}

void TestSystemVolume::levels()
{
    QFETCH(QStringList, volume);
    QFETCH(bool, muted);
    QFETCH(int, expected);
    QVERIFY(pactl({"set-sink-mute", "testsink", muted ? "1" : "0"}));
    QVERIFY(pactl(QStringList{"set-sink-volume", "testsink"} + volume));
    // The reader truncates the reading toward zero; the scalar must land on
    // the percent, not a hair under it.
    const double reading = readSystemVolume();
    QVERIFY2(reading >= expected && reading < expected + 0.001,
             qPrintable(QString::number(reading, 'g', 17)));
    // Each row's level differs from the last: one connection, asked afresh.
    if (m_clients.isEmpty())
        m_clients = ourClients();
    QCOMPARE(m_clients.size(), 1);
    QCOMPARE(ourClients(), m_clients);
}

void TestSystemVolume::defaultSinkCounts()
{
    // Whichever sink is the server's default, not the first one it has.
    QVERIFY(pactl({"load-module", "module-null-sink", "sink_name=second"}));
    QVERIFY(pactl({"set-sink-volume", "testsink", "20%"}));
    QVERIFY(pactl({"set-sink-volume", "second", "55%"}));
    QVERIFY(pactl({"set-default-sink", "second"}));
    QCOMPARE(int(readSystemVolume()), 55);
    QVERIFY(pactl({"set-default-sink", "testsink"}));
    QCOMPARE(int(readSystemVolume()), 20);
}

void TestSystemVolume::sinkGone()
{
    QVERIFY(readSystemVolume() >= 0.0);
    const QStringList clients = ourClients();
    QVERIFY(pactl({"unload-module", "module-null-sink"}));
    QCOMPARE(readSystemVolume(), -1.0);
    // The server answered: the connection stays, and finds the next sink.
    QCOMPARE(ourClients(), clients);
    QVERIFY(pactl({"load-module", "module-null-sink", "sink_name=testsink"}));
    QVERIFY(pactl({"set-default-sink", "testsink"}));
    QVERIFY(pactl({"set-sink-volume", "testsink", QString("%1%").arg(kLevel)}));
    QCOMPARE(int(readSystemVolume()), kLevel);
    QCOMPARE(ourClients(), clients);
}

void TestSystemVolume::faults_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("our client kicked: read again in the same call") << Fault::KickClient;
    QTest::newRow("server stopped, then continued") << Fault::Stop;
    QTest::newRow("server killed, then restarted on its socket") << Fault::Kill;
}

void TestSystemVolume::faults()
{
    QFETCH(Fault, fault);
    QCOMPARE(int(readSystemVolume()), kLevel);
    const QStringList before = ourClients();
    QCOMPARE(before.size(), 1);

    const pid_t server = pid_t(m_server.processId());
    if (fault == Fault::KickClient) {
        QVERIFY(serverCommand("kill-client " + before.first().toLatin1() + "\n"));
        QTRY_VERIFY(ourClients().isEmpty());
    } else {
        if (fault == Fault::Stop) {
            QCOMPARE(::kill(server, SIGSTOP), 0);
        } else {
            m_server.kill();
            QVERIFY(m_server.waitForFinished());
        }
        // The first call finds the kept connection dead or silent, the
        // second makes a new one: -1 each time, within the budget.
        for (int call = 0; call < 2; ++call) {
            QElapsedTimer timer;
            timer.start();
            QCOMPARE(readSystemVolume(), -1.0);
            QVERIFY2(timer.elapsed() < kBoundCheckMs, qPrintable(QString::number(timer.elapsed())));
        }
        if (fault == Fault::Stop)
            QCOMPARE(::kill(server, SIGCONT), 0);
        else
            QVERIFY(startServer());
    }

    // Found again within two calls (a kicked client within the same one), on
    // one new connection.
    double reading = readSystemVolume();
    if (reading < 0.0 && fault != Fault::KickClient)
        reading = readSystemVolume();
    QCOMPARE(int(reading), kLevel);
    // A stopped server still holds the connections given up on it; it drops
    // them once it runs again.
    QTRY_COMPARE(ourClients().size(), 1);
    if (fault != Fault::Kill) // a new server counts its clients from the start again
        QVERIFY(ourClients() != before);
}

void TestSystemVolume::noServerThenSilentServer()
{
    // No server at all: -1 at once, and the kept connection is gone.
    m_server.kill();
    QVERIFY(m_server.waitForFinished());
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(readSystemVolume(), -1.0);
    QVERIFY(timer.elapsed() < kBoundCheckMs);

    // A socket that takes connections into its backlog and never says a
    // word: each call gives up on its connection at the deadline, and the
    // next one tries once more, once.
    const QString path = m_dir.filePath("silent");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    QVERIFY(fd >= 0);
    sockaddr_un address;
    QVERIFY(unixAddress(path, &address));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    QCOMPARE(::listen(fd, 8), 0);
    qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(path));

    for (int call = 0; call < 2; ++call) {
        timer.start();
        const double reading = readSystemVolume();
        const qint64 elapsed = timer.elapsed();
        QCOMPARE(reading, -1.0);
        QVERIFY2(elapsed < kBoundCheckMs, qPrintable(QString::number(elapsed)));
        int attempts = 0;
        for (int peer; (peer = ::accept(fd, nullptr, nullptr)) >= 0; ++attempts)
            ::close(peer);
        QCOMPARE(attempts, 1);
    }
    ::close(fd);
}

QTEST_GUILESS_MAIN(TestSystemVolume)
#include "tst_system_volume.moc"
