#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include "coretemp_shm_fixture.h"
#include "support/processes.h"

// The built `pcreport grab` as its reader sees it, with the monitor standing
// in for Core Temp: real processes, real shared memory, a real pipe. Each
// behaviour has its table at a closer layer; these are its one whole-program row.

namespace {

const QString kMonitorName = QStringLiteral("Core Temp.exe");

} // namespace

class TestGrabEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void followsCoreTempUntilItsReaderLeaves();
    void readerLeavesWhileRecordsFlow();

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
           QTest::qWaitFor([&] { return QFile::exists(kSegmentFile) || !monitor->running(); },
                           10000) &&
           QFile::exists(kSegmentFile);
}

// Started at login before Core Temp: silent until a monitor that comes later
// publishes, a record a second from its first blocks on, silent again once
// it has gone; and then, with nothing to write, only the writer's look at
// the pipe can tell that the reader has left.
void TestGrabEndToEnd::followsCoreTempUntilItsReaderLeaves()
{
    const QString dir = install(false);
    QVERIFY(!dir.isEmpty());
    // Not beside the program, so grab's start launches none.
    const QString later = dir + "/later";
    QVERIFY(copyExecutable(PCREPORT_BIN_DIR "/" + kMonitorName, later + '/' + kMonitorName));
    ChildProcess grab, monitor;
    QVERIFY(grab.start(dir + "/pcreport", {"grab"}, true));
    QByteArray line;
    QVERIFY2(!grab.readLine(&line, 3000), qPrintable("a record without a monitor: " + line));
    QVERIFY2(grab.running(), "grab ended without Core Temp");
    QVERIFY(processesNamed(kMonitorName).isEmpty());

    QVERIFY(startMonitor(&monitor, later));
    QList<qint64> arrivals;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 3; ++i) {
        QVERIFY2(grab.readLine(&line, 5000), "no record within 5 s");
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
    QVERIFY(monitor.waitExit(5000));
    // A record may have been on its way; after that, silence.
    while (grab.readLine(&line, 1500)) {
    }
    QVERIFY2(!grab.readLine(&line, 2500), qPrintable("record after the monitor left: " + line));
    QVERIFY(grab.running());

    grab.closeOutput();
    int status = 0;
    QVERIFY2(grab.waitExit(2000, &status), "grab outlived its reader by 2 s");
    // As when a write fails: EXIT_FAILURE, no signal.
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == EXIT_FAILURE,
             qPrintable(QString::number(status)));
}

// Started while Core Temp runs, its reader leaving while records flow, with
// SIGPIPE ignored as a parent may start us (libcurl never touches it): the
// failed write or the writer's next look at the pipe must end it, with no
// signal. (That a failed write or flush is reported: tst_output_record.)
void TestGrabEndToEnd::readerLeavesWhileRecordsFlow()
{
    const QString dir = install(true);
    QVERIFY(!dir.isEmpty());
    ChildProcess monitor, grab;
    QVERIFY(startMonitor(&monitor, dir));
    QVERIFY(grab.start(dir + "/pcreport", {"grab"}, true, false, true));
    QByteArray line;
    QVERIFY2(grab.readLine(&line, 15000), "no record from grab");

    grab.closeOutput();
    int status = 0;
    QVERIFY2(grab.waitExit(5000, &status), "grab still runs after its reader left");
    QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) != 0);
    QVERIFY(monitor.running());
}

QTEST_GUILESS_MAIN(TestGrabEndToEnd)
#include "tst_grab_e2e.moc"
