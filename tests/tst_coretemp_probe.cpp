#include <QtTest>

#include "coretemp/coretemp.h"
#include "coretemp/coretemp_probe_linux.h"
#include "support/processes.h"

// The probe: the /proc scan on hand-made trees, and against real processes
// (copies of sleep and true under Core Temp's image name) that the kernel
// shows as the trees do. The test's own folder holds no "Core Temp.exe", so
// probeCoreTemp() can only answer Running or Absent here; PresentNotRunning
// is checked through pcreport in tst_check_mode.
class TestCoreTempProbe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void tasklistOutput_data();
    void tasklistOutput();
    void runningProcess();
    void zombieDoesNotCount();
    void procTree_data();
    void procTree();

private:
    QTemporaryDir dir;
};

void TestCoreTempProbe::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(!QFile::exists(coreTempPath()), "the test's folder must not hold Core Temp.exe");
}

void TestCoreTempProbe::init()
{
    // One started by another suite may take a moment to end.
    QVERIFY2(QTest::qWaitFor([] { return !coreTempProcessRunning(); }, 30000),
             "another process named \"Core Temp.exe\" keeps running");
    QCOMPARE(probeCoreTemp(), Absent);
}

void TestCoreTempProbe::tasklistOutput_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<bool>("names");

    QTest::newRow("one process")
        << QByteArray("\r\nCore Temp.exe                 4242 Console                    1     "
                      "12,345 K\r\n")
        << true;
    QTest::newRow("two processes") << QByteArray("Core Temp.exe  1 Console 1 1 K\r\n"
                                                 "Core Temp.exe  2 Console 1 1 K\r\n")
                                   << true;
    QTest::newRow("other letter case") << QByteArray("core temp.EXE  7 Services 0 9 K\r\n") << true;
    QTest::newRow("none running")
        << QByteArray("INFO: No tasks are running which match the specified criteria.\r\n")
        << false;
    QTest::newRow("no output") << QByteArray() << false;
    QTest::newRow("name after a NUL") << QByteArray("junk\0Core Temp.exe 1 K", 22) << false;
    QTest::newRow("name before a NUL") << QByteArray("Core Temp.exe 1 K\0junk", 22) << true;
    QTest::newRow("OEM bytes around it")
        << QByteArray("\x81\xfe Core Temp.exe 5 Konsole 1 2.048 K\r\n") << true;
    QTest::newRow("name without its extension") << QByteArray("Core Temp 5 Console 1 1 K") << false;
}

void TestCoreTempProbe::tasklistOutput()
{
    QFETCH(QByteArray, output);
    QFETCH(bool, names);
    QCOMPARE(tasklistNamesCoreTemp(output), names);
}

void TestCoreTempProbe::runningProcess()
{
    const QString path = dir.filePath(QStringLiteral("some other place/core temp.EXE"));
    QVERIFY(copyExecutable(QStringLiteral("/bin/sleep"), path));
    QProcess process;
    process.start(path, {QStringLiteral("30")});
    QVERIFY(process.waitForStarted());
    const CoreTempState state = probeCoreTemp();
    process.kill();
    QVERIFY(process.waitForFinished());
    QCOMPARE(state, Running);
}

void TestCoreTempProbe::zombieDoesNotCount()
{
    // An ended child nobody has reaped yet still shows its name in /proc.
    // Where init reaps nothing (some containers), such a zombie stays for good.
    const QString path = dir.filePath(QStringLiteral("Core Temp.exe"));
    QVERIFY(copyExecutable(QStringLiteral("/bin/true"), path));
    ChildProcess child;
    QVERIFY(child.start(path, {}, false));
    siginfo_t info{};
    // WNOWAIT: wait for the end but leave the zombie in place.
    QCOMPARE(waitid(P_PID, id_t(child.pid()), &info, WEXITED | WNOWAIT), 0);

    QFile comm(QStringLiteral("/proc/%1/comm").arg(child.pid()));
    const bool commReadable = comm.open(QIODevice::ReadOnly);
    const QByteArray name = comm.readAll();
    const bool running = coreTempProcessRunning();
    QVERIFY(child.waitExit(5000));

    QVERIFY(commReadable);
    QCOMPARE(name, QByteArray("Core Temp.exe\n"));
    QVERIFY(!running);
}

// A hand-made tree in /proc's shape: what the scan skips and what it keeps.
void TestCoreTempProbe::procTree_data()
{
    QTest::addColumn<QStringList>("entries"); // "dir/file=content"; "dir/" for an empty dir
    QTest::addColumn<bool>("found");

    const auto live = [](const QString &name) {
        return QStringList{"17/comm=" + name + "\n", "17/stat=17 (" + name + ") S 1 17"};
    };
    QTest::newRow("live process") << live("Core Temp.exe") << true;
    QTest::newRow("other letter case") << live("core temp.EXE") << true;
    QTest::newRow("capitals") << live("CORE TEMP.EXE") << true;
    QTest::newRow("without extension") << live("Core Temp") << false;
    QTest::newRow("longer name") << live("Core Temp.exe2") << false;
    QTest::newRow("prefixed name") << live("xCore Temp.exe") << false;
    QTest::newRow("vanished entries around it") << QStringList{"5/",
                                                               "9/comm=bash\n",
                                                               "12/",
                                                               "17/comm=Core Temp.exe\n",
                                                               "17/stat=17 (Core Temp.exe) R 1 17",
                                                               "30/"}
                                                << true;
    QTest::newRow("vanished between comm and stat")
        << QStringList{"17/comm=Core Temp.exe\n"} << false;
    QTest::newRow("zombie") << QStringList{"17/comm=Core Temp.exe\n",
                                           "17/stat=17 (Core Temp.exe) Z 1 17"}
                            << false;
    QTest::newRow("not a process directory")
        << QStringList{"self/comm=Core Temp.exe\n", "self/stat=17 (Core Temp.exe) S 1 17",
                       "17a/comm=Core Temp.exe\n", "17a/stat=17 (Core Temp.exe) S 1 17"}
        << false;
    QTest::newRow("empty tree") << QStringList{} << false;
}

void TestCoreTempProbe::procTree()
{
    QFETCH(QStringList, entries);
    QFETCH(bool, found);

    QTemporaryDir proc;
    QVERIFY(proc.isValid());
    for (const QString &entry : entries) {
        const int slash = entry.indexOf('/');
        QVERIFY(QDir(proc.path()).mkpath(entry.left(slash)));
        if (slash == entry.size() - 1)
            continue;
        const int equals = entry.indexOf('=');
        QFile file(proc.filePath(entry.left(equals)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(entry.mid(equals + 1).toUtf8());
    }
    QCOMPARE(procListNamesCoreTemp(proc.path()), found);
    QVERIFY(!procListNamesCoreTemp(proc.filePath(QStringLiteral("missing"))));
}

QTEST_GUILESS_MAIN(TestCoreTempProbe)
#include "tst_coretemp_probe.moc"
