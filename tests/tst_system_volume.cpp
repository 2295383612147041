#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "output/pulse_poll_loop.h"
#include "output/system_volume.h"

#include <sys/time.h>

// readSystemVolume against a private PulseAudio server with a null sink,
// started by this test on a socket of its own.

namespace {

constexpr int kStartupMs = 15000;
// The call bounds itself at 500 ms; this only proves it ends, with room for
// a loaded machine.
constexpr qint64 kBoundCheckMs = 2000;

} // namespace

class TestSystemVolume : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void pollLoopEvents();
    void levels_data();
    void levels();
    void defaultSinkCounts();
    void sinkGone();
    void serverGone();
    void serverNeverAnswers();

private:
    bool pactl(const QStringList &args);
    QProcessEnvironment environment() const;

    QTemporaryDir m_dir;
    QProcess m_server;
    QString m_socket;
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

bool TestSystemVolume::pactl(const QStringList &args)
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start("pactl", args);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
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

    // -n: no default script, only the two modules. As root the daemon warns
    // that it is meant for --system, and runs all the same; no pid file keeps
    // it clear of any other daemon of the same user.
    m_server.setProcessEnvironment(env);
    m_server.setStandardOutputFile(QProcess::nullDevice());
    m_server.setStandardErrorFile(m_dir.filePath("pulseaudio.log"));
    m_server.start("pulseaudio", {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                                  "--use-pid-file=no", "--disable-shm=yes", "-L",
                                  "module-native-protocol-unix auth-anonymous=1 socket=" + m_socket,
                                  "-L", "module-null-sink sink_name=testsink"});
    QVERIFY2(m_server.waitForStarted(), qPrintable(m_server.errorString()));
    QElapsedTimer startup;
    startup.start();
    while (!pactl({"info"})) {
        if (m_server.state() != QProcess::Running || startup.elapsed() > kStartupMs) {
            QFile log(m_dir.filePath("pulseaudio.log"));
            log.open(QIODevice::ReadOnly);
            QFAIL(qPrintable("PulseAudio did not come up:\n" +
                             QString::fromLocal8Bit(log.readAll())));
        }
        QThread::msleep(50);
    }
    QVERIFY(pactl({"set-default-sink", "testsink"}));
}

void TestSystemVolume::cleanupTestCase()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.kill();
        m_server.waitForFinished();
    }
}

void TestSystemVolume::pollLoopEvents()
{
    // What libpulse relies on beyond one exchange with a live server: work
    // deferred runs each round until disabled, a timer bounds the wait and
    // fires once, a ready fd is reported, each event freed is destroyed once.
    struct Seen
    {
        int deferred = 0, timer = 0, input = 0, destroyed = 0;
    } seen;
    const auto destroyed = [](pa_mainloop_api *, auto *, void *userdata) {
        ++static_cast<Seen *>(userdata)->destroyed;
    };
    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    QElapsedTimer clock;
    {
        PulsePollLoop loop;
        pa_mainloop_api *api = loop.api();
        pa_defer_event *defer = api->defer_new(
            api,
            [](pa_mainloop_api *a, pa_defer_event *event, void *userdata) {
                if (++static_cast<Seen *>(userdata)->deferred == 3)
                    a->defer_enable(event, 0);
            },
            &seen);
        api->defer_set_destroy(defer, destroyed);
        timeval when;
        gettimeofday(&when, nullptr);
        when.tv_sec += (when.tv_usec + 300000) / 1000000;
        when.tv_usec = (when.tv_usec + 300000) % 1000000;
        clock.start();
        pa_time_event *timer = api->time_new(
            api, &when,
            [](pa_mainloop_api *a, pa_time_event *event, const timeval *, void *userdata) {
                ++static_cast<Seen *>(userdata)->timer;
                a->time_free(event);
            },
            &seen);
        api->time_set_destroy(timer, destroyed);
        pa_io_event *io = api->io_new(
            api, fds[0], PA_IO_EVENT_INPUT,
            [](pa_mainloop_api *a, pa_io_event *event, int, pa_io_event_flags_t flags,
               void *userdata) {
                if (flags & PA_IO_EVENT_INPUT)
                    ++static_cast<Seen *>(userdata)->input;
                a->io_free(event);
            },
            &seen);
        api->io_set_destroy(io, destroyed);

        for (int round = 0; round < 5; ++round)
            QVERIFY(loop.iterate(std::chrono::microseconds(0)));
        QCOMPARE(seen.deferred, 3);
        QCOMPARE(seen.input, 0);
        QCOMPARE(::write(fds[1], "x", 1), 1);
        QVERIFY(loop.iterate(std::chrono::seconds(10)));
        QCOMPARE(seen.input, 1);
        QCOMPARE(seen.destroyed, 1);
        while (seen.timer == 0 && clock.elapsed() < 5000)
            QVERIFY(loop.iterate(std::chrono::seconds(10)));
        QCOMPARE(seen.timer, 1);
        QVERIFY2(clock.elapsed() >= 300 && clock.elapsed() < 5000,
                 qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(seen.destroyed, 2);
        api->quit(api, 0);
        QVERIFY(!loop.iterate(std::chrono::microseconds(0)));
    }
    QCOMPARE(seen.destroyed, 3); // the deferred event, when the loop ends
    QCOMPARE(seen.deferred, 3);
    ::close(fds[0]);
    ::close(fds[1]);
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
    QVERIFY(pactl({"unload-module", "module-null-sink"}));
    QCOMPARE(readSystemVolume(), -1.0);
}

void TestSystemVolume::serverGone()
{
    m_server.kill();
    QVERIFY(m_server.waitForFinished());
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(readSystemVolume(), -1.0);
    QVERIFY(timer.elapsed() < kBoundCheckMs);
}

void TestSystemVolume::serverNeverAnswers()
{
    // A socket that takes connections into its backlog and never says a word.
    const QString path = m_dir.filePath("silent");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    QVERIFY(size_t(encoded.size()) < sizeof address.sun_path);
    qstrncpy(address.sun_path, encoded.constData(), sizeof address.sun_path);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    QCOMPARE(::listen(fd, 8), 0);
    qputenv("PULSE_SERVER", "unix:" + encoded);

    QElapsedTimer timer;
    timer.start();
    const double reading = readSystemVolume();
    const qint64 elapsed = timer.elapsed();
    ::close(fd);
    QCOMPARE(reading, -1.0);
    QVERIFY2(elapsed < kBoundCheckMs, qPrintable(QString::number(elapsed)));
}

QTEST_GUILESS_MAIN(TestSystemVolume)
#include "tst_system_volume.moc"
