#include <QtTest>

#include <cerrno>
#include <csignal>

#include <sys/prctl.h>

#include "coretemp/coretemp.h"
#include "support/processes.h"

// Launches the fixture program (tests/fixtures/launch_fixture.cpp) under Core
// Temp's name from a folder whose name holds a space, and reads back the
// report it writes about how it was started.
class TestCoreTempLaunch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startsDetachedAndHidden();
    void failures_data();
    void failures();

private:
    using Report = QMap<QString, QString>;
    Report waitForReport();
    void reapChildren();

    QScopedPointer<QTemporaryDir> root;
    QString program;
    QString reportPath;
    QList<pid_t> started;
};

void TestCoreTempLaunch::initTestCase()
{
    // Orphans go to init, which in some containers reaps nobody; as a
    // subreaper this test adopts the programs it launches and reaps them
    // itself, so no "Core Temp.exe" zombie outlives it.
    QCOMPARE(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
}

void TestCoreTempLaunch::init()
{
    root.reset(new QTemporaryDir);
    QVERIFY(root->isValid());
    program = root->filePath(QStringLiteral("My Tools/Core Temp.exe"));
    QVERIFY(copyExecutable(QStringLiteral(LAUNCH_FIXTURE), program));
    reportPath = root->filePath(QStringLiteral("report.txt"));
    qputenv("PCREPORT_FIXTURE_REPORT", QFile::encodeName(reportPath));
    qputenv("PCREPORT_FIXTURE_LINGER", "1");
}

void TestCoreTempLaunch::cleanup()
{
    for (pid_t pid : qAsConst(started))
        kill(pid, SIGKILL);
    started.clear();
    reapChildren();
    qunsetenv("PCREPORT_FIXTURE_REPORT");
    qunsetenv("PCREPORT_FIXTURE_LINGER");
    root.reset();
}

void TestCoreTempLaunch::reapChildren()
{
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        const pid_t pid = waitpid(-1, nullptr, WNOHANG);
        if (pid < 0)
            return; // ECHILD: nobody left
        if (pid == 0)
            QTest::qWait(10);
    }
    QFAIL("a launched program outlived the test");
}

TestCoreTempLaunch::Report TestCoreTempLaunch::waitForReport()
{
    Report report;
    if (!QTest::qWaitFor([this] { return QFile::exists(reportPath); }, 10000))
        return report;
    QFile file(reportPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return report;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).chopped(1);
        const int equals = line.indexOf('=');
        report.insert(line.left(equals), line.mid(equals + 1));
    }
    const pid_t pid = report.value(QStringLiteral("pid")).toInt();
    if (pid > 0)
        started.append(pid);
    return report;
}

// The launcher runs in a helper whose stdout and stderr are pipes to us, as
// pcreport's are to the reading program, started from a working directory of
// its own and holding a descriptor without close-on-exec, as a careless
// library might leave one.
void TestCoreTempLaunch::startsDetachedAndHidden()
{
    QTemporaryDir workDir;
    QVERIFY(workDir.isValid());
    const QString previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workDir.path()));
    int leak[2];
    QCOMPARE(pipe(leak), 0);
    ChildProcess helper;
    const bool started = helper.start(QStringLiteral(LAUNCH_HELPER), {program}, true, true);
    ::close(leak[0]);
    ::close(leak[1]);
    QDir::setCurrent(previousDir);
    QVERIFY(started);
    // Both pipes must reach their end as soon as the helper ends, while the
    // launched program still runs.
    QByteArray stdoutData, stderrData;
    const bool bothAtEof = helper.readToEnd(&stdoutData, &stderrData, 10000);
    int status = 0;
    QVERIFY(helper.waitExit(10000, &status));
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    // The intermediate child was reaped by the launcher: none came to us, the
    // subreaper, as a zombie. (The launched program is alive and lingering.)
    siginfo_t zombie{};
    waitid(P_ALL, 0, &zombie, WEXITED | WNOHANG | WNOWAIT);
    QCOMPARE(zombie.si_pid, 0);

    const Report report = waitForReport();
    QVERIFY2(!report.isEmpty(), "the launched program wrote no report");
    QVERIFY2(bothAtEof, "the launched program holds our pipes open");
    QCOMPARE(stdoutData, QByteArray());
    QVERIFY2(stderrData.contains("CoreTemp started hidden."), stderrData.constData());
    QVERIFY(!stderrData.contains("fixture"));
    QCOMPARE(report.value("argc"), QStringLiteral("1"));
    QCOMPARE(report.value("argv0"), program);
    QCOMPARE(QFileInfo(report.value("cwd")).canonicalFilePath(),
             QFileInfo(workDir.path()).canonicalFilePath());

    // Its own session, led by the intermediate child that has gone: no
    // controlling terminal can ever be acquired, no signal of our group reaches it.
    const QString pid = report.value("pid");
    QVERIFY(report.value("sid") != QString::number(getsid(0)));
    QVERIFY(report.value("sid") != pid);
    QCOMPARE(report.value("pgid"), report.value("sid"));

    // Standard streams on /dev/null and nothing else inherited from us.
    QStringList descriptors;
    for (auto it = report.cbegin(); it != report.cend(); ++it) {
        if (it.key().startsWith(QLatin1String("fd")))
            descriptors << it.key() + '=' + it.value();
    }
    QCOMPARE(descriptors, (QStringList{"fd0=/dev/null", "fd1=/dev/null", "fd2=/dev/null"}));
    QCOMPARE(kill(pid.toInt(), 0), 0); // the pipes' end came while it still ran
}

void TestCoreTempLaunch::failures_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("error");

    QTest::newRow("missing file") << "missing" << ENOENT;
    QTest::newRow("missing folder") << "missing folder" << ENOENT;
    QTest::newRow("not executable") << "plain file" << EACCES;
    QTest::newRow("a folder") << "folder" << EACCES;
}

void TestCoreTempLaunch::failures()
{
    QFETCH(QString, what);
    QFETCH(int, error);

    QString path = program;
    if (what == "missing") {
        QVERIFY(QFile::remove(program));
    } else if (what == "missing folder") {
        path = root->filePath(QStringLiteral("Not Here/Core Temp.exe"));
    } else if (what == "plain file") {
        QVERIFY(QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    } else if (what == "folder") {
        QVERIFY(QFile::remove(program));
        QVERIFY(QDir().mkpath(program));
    }

    // The warning carries the launcher's errno: one check of both.
    const QByteArray message = "Failed to start CoreTemp: " + QByteArray::number(error);
    QTest::ignoreMessage(QtWarningMsg, message.constData());
    QVERIFY(!launchCoreTemp(path));
    QVERIFY(!QFile::exists(reportPath));
}

QTEST_GUILESS_MAIN(TestCoreTempLaunch)
#include "tst_coretemp_launch.moc"
