#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

// The built `pcreport grab` as its reader sees it, with the monitor standing
// in for Core Temp: real processes, real shared memory, a real pipe.

extern char **environ;

namespace {

const QString kMonitorName = QStringLiteral("Core Temp.exe");
const char kSegment[] = "/dev/shm/CoreTempMappingObject";

// A child process with an optional pipe on its standard output. Whatever is
// still running when it goes out of scope is killed and reaped.
class Child
{
public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child()
    {
        closeOutput();
        stop(SIGTERM, 2000);
        stop(SIGKILL, 5000);
    }

    bool start(const QString &program, const QStringList &args, bool pipeOutput,
               bool ignoreSigpipe = false)
    {
        int fds[2] = {-1, -1};
        if (pipeOutput && ::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (pipeOutput)
            posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        // This test ignores SIGPIPE itself; a child inherits that unless the
        // signal is reset here.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t defaults;
        sigemptyset(&defaults);
        if (!ignoreSigpipe)
            sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

        const QByteArray path = QFile::encodeName(program);
        QList<QByteArray> encoded{path};
        for (const QString &arg : args)
            encoded << arg.toLocal8Bit();
        std::vector<char *> argv;
        for (QByteArray &arg : encoded)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&m_pid, path.constData(), &actions, &attr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        if (pipeOutput) {
            ::close(fds[1]);
            m_out = fds[0];
        }
        if (rc != 0) {
            m_pid = -1;
            closeOutput();
        }
        return rc == 0;
    }

    pid_t pid() const { return m_pid; }

    /// Waits up to `timeoutMs` for one whole line; false on timeout or end.
    bool readLine(QByteArray *line, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            const int newline = m_buffer.indexOf('\n');
            if (newline >= 0) {
                *line = m_buffer.left(newline);
                m_buffer.remove(0, newline + 1);
                return true;
            }
            const qint64 left = timeoutMs - timer.elapsed();
            if (m_out < 0 || left <= 0)
                return false;
            pollfd pfd{m_out, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, int(left));
            if (ready < 0 && errno != EINTR)
                return false;
            if (ready <= 0)
                continue;
            char chunk[4096];
            const ssize_t n = ::read(m_out, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            m_buffer.append(chunk, int(n));
        }
    }

    void closeOutput()
    {
        if (m_out >= 0)
            ::close(m_out);
        m_out = -1;
    }

    /// Reaps the child if it has ended within `timeoutMs`.
    bool waitExit(int timeoutMs, int *status = nullptr)
    {
        QElapsedTimer timer;
        timer.start();
        while (m_pid > 0) {
            int st = 0;
            const pid_t r = ::waitpid(m_pid, &st, WNOHANG);
            if (r == m_pid || (r < 0 && errno == ECHILD)) {
                m_pid = -1;
                m_status = st;
                break;
            }
            if (timer.elapsed() >= timeoutMs)
                return false;
            QThread::msleep(20);
        }
        if (status)
            *status = m_status;
        return true;
    }

    bool running() { return m_pid > 0 && !waitExit(0); }

    bool stop(int signal, int timeoutMs)
    {
        if (m_pid <= 0)
            return true;
        ::kill(m_pid, signal);
        return waitExit(timeoutMs);
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_status = 0;
    QByteArray m_buffer;
};

QList<pid_t> processesNamed(const QString &name)
{
    QList<pid_t> found;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const pid_t pid = entry.toInt(&numeric);
        if (!numeric)
            continue;
        QFile comm("/proc/" + entry + "/comm");
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name.toLocal8Bit())
            found << pid;
    }
    return found;
}

// Anything started from `dir` (by us or by pcreport's launcher) is ended.
void killEverythingFrom(const QString &dir)
{
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString exe = QFile::symLinkTarget("/proc/" + entry + "/exe");
        if (!exe.startsWith(dir + '/'))
            continue;
        const pid_t pid = entry.toInt();
        ::kill(pid, SIGTERM); // lets the monitor remove its segment
        for (int i = 0; i < 100 && QFile::exists("/proc/" + entry + "/exe") &&
                        !QFile::symLinkTarget("/proc/" + entry + "/exe").isEmpty();
             ++i)
            QThread::msleep(20);
        ::kill(pid, SIGKILL);
    }
}

QString checkRecord(const QByteArray &line)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return "not a JSON object: " + QString::fromUtf8(line);
    const QJsonObject record = doc.object();
    if (record.size() != 13)
        return "not 13 keys: " + QString::fromUtf8(line);
    for (auto it = record.begin(); it != record.end(); ++it) {
        const double value = it.value().toDouble(std::nan(""));
        if (!it.value().isDouble() || value != std::trunc(value))
            return "not an integer: " + it.key();
    }
    return QString();
}

} // namespace

class TestGrabEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void recordsFlowUntilMonitorExits();
    void endsWhenReaderCloses_data();
    void endsWhenReaderCloses();
    void noCoreTempPrintsNothing();

private:
    QString install(bool withMonitor);
    bool startMonitor(Child *monitor, const QString &dir);

    QScopedPointer<QTemporaryDir> m_dir;
};

void TestGrabEndToEnd::initTestCase()
{
    ::signal(SIGPIPE, SIG_IGN); // our own reads and writes; children get it back
    QVERIFY2(QFile::exists(PCREPORT_BIN_DIR "/pcreport"), "pcreport is not built");
    QVERIFY2(QFile::exists(PCREPORT_BIN_DIR "/Core Temp.exe"), "the monitor is not built");
}

void TestGrabEndToEnd::init()
{
    if (!processesNamed(kMonitorName).isEmpty())
        QSKIP("a \"Core Temp.exe\" already runs on this machine; these tests need it to be theirs");
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void TestGrabEndToEnd::cleanup()
{
    if (m_dir)
        killEverythingFrom(QDir(m_dir->path()).canonicalPath());
    m_dir.reset();
    QVERIFY2(processesNamed(kMonitorName).isEmpty(), "a \"Core Temp.exe\" was left behind");
}

QString TestGrabEndToEnd::install(bool withMonitor)
{
    QStringList names{"pcreport"};
    if (withMonitor)
        names << kMonitorName;
    for (const QString &name : names) {
        const QString target = m_dir->filePath(name);
        if (!QFile::copy(PCREPORT_BIN_DIR "/" + name, target))
            return QString();
        QFile::setPermissions(target, QFile::permissions(target) | QFileDevice::ExeOwner);
    }
    return m_dir->path();
}

bool TestGrabEndToEnd::startMonitor(Child *monitor, const QString &dir)
{
    // Started by us, so that grab's probe finds it running and launches none.
    if (!monitor->start(dir + '/' + kMonitorName, {"--temperature", "45"}, false))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (!QFile::exists(kSegment)) {
        if (timer.elapsed() > 10000 || !monitor->running())
            return false;
        QThread::msleep(20);
    }
    return true;
}

void TestGrabEndToEnd::recordsFlowUntilMonitorExits()
{
    const QString dir = install(true);
    QVERIFY(!dir.isEmpty());
    Child monitor, grab;
    QVERIFY(startMonitor(&monitor, dir));
    QVERIFY(grab.start(dir + "/pcreport", {"grab"}, true));

    QList<qint64> arrivals;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 3; ++i) {
        QByteArray line;
        QVERIFY2(grab.readLine(&line, 15000), "no record from grab");
        arrivals << clock.elapsed();
        QVERIFY2(checkRecord(line).isEmpty(), qPrintable(checkRecord(line)));
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        QCOMPARE(record.value("CpuTemperature").toInt(), 45);
        // No weather service is reachable here: the initial weather stays.
        QCOMPARE(record.value("ServerWeather").toInt(), 25);
        QCOMPARE(record.value("ServerWeatherID").toInt(), 60);
    }
    // About one a second: neither a burst nor long gaps.
    const qint64 span = arrivals.last() - arrivals.first();
    QVERIFY2(span >= 1500 && span <= 8000, qPrintable(QString::number(span)));

    QVERIFY(monitor.stop(SIGTERM, 5000));
    QVERIFY(!QFile::exists(kSegment));
    // A record may have been on its way; after that, silence.
    QByteArray line;
    while (grab.readLine(&line, 1500)) {
    }
    QVERIFY2(!grab.readLine(&line, 2500), qPrintable("record after the monitor left: " + line));
    QVERIFY(grab.running());
}

void TestGrabEndToEnd::endsWhenReaderCloses_data()
{
    QTest::addColumn<bool>("ignoreSigpipe");
    QTest::newRow("SIGPIPE default") << false;
    // As while libcurl holds SIGPIPE ignored: the write fails with EPIPE instead.
    QTest::newRow("SIGPIPE ignored") << true;
}

void TestGrabEndToEnd::endsWhenReaderCloses()
{
    QFETCH(bool, ignoreSigpipe);
    const QString dir = install(true);
    QVERIFY(!dir.isEmpty());
    Child monitor, grab;
    QVERIFY(startMonitor(&monitor, dir));
    QVERIFY(grab.start(dir + "/pcreport", {"grab"}, true, ignoreSigpipe));
    QByteArray line;
    QVERIFY2(grab.readLine(&line, 15000), "no record from grab");

    grab.closeOutput();
    int status = 0;
    QVERIFY2(grab.waitExit(5000, &status), "grab still runs after its reader left");
    if (ignoreSigpipe)
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) != 0);
    else
        QVERIFY((WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) ||
                (WIFEXITED(status) && WEXITSTATUS(status) != 0));
    QVERIFY(monitor.running());
}

void TestGrabEndToEnd::noCoreTempPrintsNothing()
{
    const QString dir = install(false);
    QVERIFY(!dir.isEmpty());
    QVERIFY(!QFile::exists(dir + '/' + kMonitorName));
    Child grab;
    QVERIFY(grab.start(dir + "/pcreport", {"grab"}, true));
    QByteArray line;
    QVERIFY2(!grab.readLine(&line, 3000), qPrintable("unexpected output: " + line));
    QVERIFY2(grab.running(), "grab ended without Core Temp");
    QVERIFY(processesNamed(kMonitorName).isEmpty());
}

QTEST_GUILESS_MAIN(TestGrabEndToEnd)
#include "tst_grab_e2e.moc"
