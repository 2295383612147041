#include <QtTest>

#include <sys/syscall.h>

#include "coretemp/coretemp.h"
#include "support/processes.h"

// Runs the built pcreport as the reading program does: a copy in a folder of
// its own, so that what lies beside it ("Core Temp.exe" or not) is ours to
// decide, started through a relative path so that no temporary folder name
// can smuggle a mode word into argv[0].
class TestCheckMode : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void answers_data();
    void answers();
    void noModeWordIdles();

private:
    struct Outcome
    {
        bool finished = false;
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };

    QString installCopy(const QString &folder);
    Outcome run(const QString &program, const QStringList &arguments);
    void startFakeCoreTemp(const QString &fileName);

    QScopedPointer<QTemporaryDir> root;
    QProcess fakeCoreTemp;
};

static const QByteArray kTrueLine = "{\"checkHardwareSucceed\": true }\r\n";
static const QByteArray kFalseLine = "{\"checkHardwareSucceed\": false }\r\n";

namespace {

/// Is the main thread of `pid` asleep in poll, as in an event loop with
/// nothing to do? Qt's event dispatchers wait in poll or ppoll.
bool sleepsInPoll(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/syscall").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool ok = false;
    const long number = file.readAll().split(' ').value(0).toLong(&ok); // "running" while it runs
#ifdef SYS_poll
    if (ok && number == SYS_poll)
        return true;
#endif
    return ok && number == SYS_ppoll;
}

int threadCount(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/task").arg(pid))
        .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
        .size();
}

} // namespace

void TestCheckMode::initTestCase()
{
    QVERIFY2(QFileInfo(PCREPORT_BIN_DIR "/pcreport").isExecutable(), "pcreport has not been built");
}

void TestCheckMode::init()
{
    // A Core Temp run by someone else would turn every "false" true; one
    // started by another suite may take a moment to end.
    QVERIFY2(QTest::qWaitFor([] { return !coreTempProcessRunning(); }, 30000),
             "another process named \"Core Temp.exe\" keeps running");
    root.reset(new QTemporaryDir(QDir::tempPath() + QStringLiteral("/pcr-XXXXXX")));
    QVERIFY(root->isValid());
}

void TestCheckMode::cleanup()
{
    if (fakeCoreTemp.state() != QProcess::NotRunning) {
        fakeCoreTemp.kill();
        fakeCoreTemp.waitForFinished();
    }
    root.reset();
}

QString TestCheckMode::installCopy(const QString &folder)
{
    const QString copy = root->filePath(folder + QStringLiteral("/pcreport"));
    return copyExecutable(PCREPORT_BIN_DIR "/pcreport", copy) ? copy : QString();
}

/// Runs `program` (relative to the temporary root) from the root.
TestCheckMode::Outcome TestCheckMode::run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(root->path());
    // Let Qt talk as much as it can: none of it may reach standard output.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=true"));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Outcome outcome;
    if (!process.waitForStarted())
        return outcome;
    outcome.finished = process.waitForFinished(10000);
    if (!outcome.finished) {
        process.kill();
        process.waitForFinished();
    } else if (process.exitStatus() == QProcess::NormalExit) {
        outcome.exitCode = process.exitCode();
    }
    outcome.out = process.readAllStandardOutput();
    outcome.err = process.readAllStandardError();
    return outcome;
}

void TestCheckMode::startFakeCoreTemp(const QString &fileName)
{
    // A copy of sleep under Core Temp's name, far from any pcreport copy.
    const QString path = root->filePath(QStringLiteral("elsewhere/") + fileName);
    QVERIFY(copyExecutable(QStringLiteral("/bin/sleep"), path));
    fakeCoreTemp.start(path, {QStringLiteral("30")});
    QVERIFY(fakeCoreTemp.waitForStarted());
    QVERIFY(coreTempProcessRunning());
}

// Which argument selects what is tst_command_line's table; here the whole
// program's answer to each: what it prints, and that it ends at once with
// that status. An expected output without a line end is only the start of
// what is printed.
void TestCheckMode::answers_data()
{
    QTest::addColumn<QStringList>("command"); // folder of the copy, argument
    QTest::addColumn<QString>("coreTemp");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("exitCode");

    const QStringList check{"bin", "check"};
    QTest::newRow("check, absent") << check << "absent" << kFalseLine << 0;
    QTest::newRow("check, present, not running") << check << "present" << kTrueLine << 1;
    QTest::newRow("check, running elsewhere") << check << "running" << kTrueLine << 1;
    QTest::newRow("check, running, other letter case")
        << check << "running lower" << kTrueLine << 1;
    // argv[0] holds the folder's name, and check wins over grab.
    QTest::newRow("check in argv[0], grab")
        << QStringList{"checker", "grab"} << "absent" << kFalseLine << 0;
    QTest::newRow("--help") << QStringList{"bin", "--help"} << "absent"
                            << QByteArray("Usage: pcreport check | grab") << 0;
    QTest::newRow("--version") << QStringList{"bin", "--version"} << "absent"
                               << QByteArray("pcreport " PCREPORT_VERSION "\n") << 0;
}

void TestCheckMode::answers()
{
    QFETCH(QStringList, command);
    QFETCH(QString, coreTemp);
    QFETCH(QByteArray, output);
    QFETCH(int, exitCode);
    const QString folder = command.at(0);
    const QString argument = command.at(1);

    const QString program = installCopy(folder);
    QVERIFY(!program.isEmpty());
    const QString marker = root->filePath(QStringLiteral("launched"));
    if (coreTemp == "present") {
        // Check mode must never start it; if it did, the marker would appear
        // (or the script would still be running under Core Temp's name).
        QFile script(QFileInfo(program).path() + QStringLiteral("/Core Temp.exe"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\ntouch '" + QFile::encodeName(marker) + "'\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
    } else if (coreTemp == "running") {
        startFakeCoreTemp(QStringLiteral("Core Temp.exe"));
    } else if (coreTemp == "running lower") {
        startFakeCoreTemp(QStringLiteral("core temp.EXE"));
    }

    // Started as "<folder>/pcreport" from the temporary root: argv[0] holds
    // the folder's name and nothing else of the temporary path.
    const Outcome outcome = run(folder + QStringLiteral("/pcreport"), {argument});
    QVERIFY(outcome.finished);
    if (output.endsWith('\n'))
        QCOMPARE(outcome.out, output);
    else
        QVERIFY2(outcome.out.startsWith(output), outcome.out.constData());
    QCOMPARE(outcome.exitCode, exitCode);
    if (argument.startsWith("--"))
        QCOMPARE(outcome.err, QByteArray());
    if (coreTemp == "present") {
        QVERIFY(!QFile::exists(marker));
        QVERIFY(!coreTempProcessRunning());
    }
}

void TestCheckMode::noModeWordIdles()
{
    const QString program = installCopy(QStringLiteral("bin"));
    QVERIFY(!program.isEmpty());
    QProcess process;
    process.setWorkingDirectory(QFileInfo(program).path());
    process.start(QStringLiteral("./pcreport"), QStringList());
    QVERIFY(process.waitForStarted());
    // Once its main thread waits in the event loop the mode is settled: a
    // wrongly chosen check would have printed and ended, a wrongly chosen
    // grab would have started its sampling and weather threads.
    const bool idles = QTest::qWaitFor(
        [&] { return process.state() != QProcess::Running || sleepsInPoll(process.processId()); },
        10000);
    const bool running = process.state() == QProcess::Running;
    const int threads = running ? threadCount(process.processId()) : 0;
    process.kill();
    process.waitForFinished();
    QVERIFY2(idles && running, "a start without a mode word must keep running");
    QCOMPARE(threads, 1);
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    QCOMPARE(process.readAllStandardError(), QByteArray());
}

QTEST_GUILESS_MAIN(TestCheckMode)
#include "tst_check_mode.moc"
