#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include "support/processes.h"

// The built `pcreport grab` as its reader sees it, with the monitor standing
// in for Core Temp: real processes, real shared memory, a real pipe.

namespace {

const QString kMonitorName = QStringLiteral("Core Temp.exe");
const char kSegment[] = "/dev/shm/CoreTempMappingObject";

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
    void noCoreTempPrintsNothing_data();
    void noCoreTempPrintsNothing();
    void monitorStartedLaterIsRead();

private:
    QString install(bool withMonitor);
    bool startMonitor(ChildProcess *monitor, const QString &dir);

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
    // The program is started by path: a folder named after the test would
    // hold a mode word.
    m_dir.reset(new QTemporaryDir(QDir::tempPath() + "/pcreport-e2e-XXXXXX"));
    QVERIFY(m_dir->isValid());
    QVERIFY2(!m_dir->path().contains("check") && !m_dir->path().contains("grab"),
             qPrintable(m_dir->path()));
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
        if (!copyExecutable(PCREPORT_BIN_DIR "/" + name, m_dir->filePath(name)))
            return QString();
    }
    return m_dir->path();
}

bool TestGrabEndToEnd::startMonitor(ChildProcess *monitor, const QString &dir)
{
    // Started by us, so that grab's probe finds it running and launches none.
    return monitor->start(dir + '/' + kMonitorName, {"--temperature", "45"}, false) &&
           QTest::qWaitFor([&] { return QFile::exists(kSegment) || !monitor->running(); }, 10000) &&
           QFile::exists(kSegment);
}

void TestGrabEndToEnd::recordsFlowUntilMonitorExits()
{
    const QString dir = install(true);
    QVERIFY(!dir.isEmpty());
    ChildProcess monitor, grab;
    QVERIFY(startMonitor(&monitor, dir));
    QVERIFY(grab.start(dir + "/pcreport", {"grab"}, true));

    QList<qint64> arrivals;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 3; ++i) {
        QByteArray line;
        QVERIFY2(grab.readLine(&line, 15000), "no record from grab");
        arrivals << clock.elapsed();
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        QCOMPARE(record.value("CpuTemperature").toInt(), 45);
        // No weather service is reachable here: the initial weather stays.
        QCOMPARE(record.value("ServerWeather").toInt(), 25);
        QCOMPARE(record.value("ServerWeatherID").toInt(), 60);
    }
    // About one a second: neither a burst nor long gaps.
    const qint64 span = arrivals.last() - arrivals.first();
    QVERIFY2(span >= 1500 && span <= 8000, qPrintable(QString::number(span)));

    ::kill(monitor.pid(), SIGTERM);
    int monitorStatus = 0;
    QVERIFY(monitor.waitExit(5000, &monitorStatus));
    // A clean exit, not a crash on the way out.
    QVERIFY2(WIFEXITED(monitorStatus) && WEXITSTATUS(monitorStatus) == 0,
             qPrintable(QString::number(monitorStatus)));
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
    ChildProcess monitor, grab;
    QVERIFY(startMonitor(&monitor, dir));
    QVERIFY(grab.start(dir + "/pcreport", {"grab"}, true, false, ignoreSigpipe));
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

void TestGrabEndToEnd::noCoreTempPrintsNothing_data()
{
    QTest::addColumn<QString>("output");
    // Nothing to write, so only the writer's look at the pipe can tell that
    // the reader has gone.
    QTest::newRow("pipe, reader leaves") << "pipe";
    QTest::newRow("file") << "file";
    QTest::newRow("null device") << "/dev/null";
}

void TestGrabEndToEnd::noCoreTempPrintsNothing()
{
    QFETCH(QString, output);
    const QString dir = install(false);
    QVERIFY(!dir.isEmpty());
    QVERIFY(!QFile::exists(dir + '/' + kMonitorName));
    ChildProcess grab;
    const bool pipe = output == "pipe";
    const QString outputFile = output == "file" ? dir + "/records" : output;
    if (!pipe)
        grab.setStdoutFile(outputFile);
    QVERIFY(grab.start(dir + "/pcreport", {"grab"}, pipe));
    QByteArray line;
    if (pipe)
        QVERIFY2(!grab.readLine(&line, 3000), qPrintable("unexpected output: " + line));
    else
        QTest::qWait(3000); // the writer has looked at its output twice by now
    QVERIFY2(grab.running(), "grab ended without Core Temp");
    QVERIFY(processesNamed(kMonitorName).isEmpty());
    if (!pipe) {
        QCOMPARE(QFileInfo(outputFile).size(), qint64(0));
        return;
    }

    grab.closeOutput();
    int status = 0;
    QVERIFY2(grab.waitExit(2000, &status), "grab outlived its reader by 2 s");
    // As when a write fails: EXIT_FAILURE, no signal.
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == EXIT_FAILURE,
             qPrintable(QString::number(status)));
}

// Started at login before Core Temp: grab prints nothing until a monitor
// that comes later publishes, then from its first blocks on.
void TestGrabEndToEnd::monitorStartedLaterIsRead()
{
    const QString dir = install(false);
    QVERIFY(!dir.isEmpty());
    // Not beside the program, so grab's start launches none.
    const QString later = dir + "/later";
    QVERIFY(QDir().mkpath(later));
    QVERIFY(copyExecutable(PCREPORT_BIN_DIR "/" + kMonitorName, later + '/' + kMonitorName));
    ChildProcess grab, monitor;
    QVERIFY(grab.start(dir + "/pcreport", {"grab"}, true));
    QByteArray line;
    QVERIFY2(!grab.readLine(&line, 3000), qPrintable("a record without a monitor: " + line));
    QVERIFY(startMonitor(&monitor, later));
    QVERIFY2(grab.readLine(&line, 5000), "no record within 5 s of the monitor publishing");
    QCOMPARE(QJsonDocument::fromJson(line).object().value("CpuTemperature").toInt(), 45);
}

QTEST_GUILESS_MAIN(TestGrabEndToEnd)
#include "tst_grab_e2e.moc"
