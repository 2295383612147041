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
    void checkLineForEachState_data();
    void checkLineForEachState();
    void modeWords();
    void noModeWordIdles();
    void informationOptions_data();
    void informationOptions();

private:
    struct Outcome
    {
        bool finished = false;
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };

    QString installCopy(const QString &folder);
    Outcome run(const QString &workingDir, const QString &program, const QStringList &arguments,
                bool verboseQt = false);
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

TestCheckMode::Outcome TestCheckMode::run(const QString &workingDir, const QString &program,
                                          const QStringList &arguments, bool verboseQt)
{
    QProcess process;
    process.setWorkingDirectory(workingDir);
    if (verboseQt) {
        // Let Qt talk as much as it can: none of it may reach standard output.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=true"));
        process.setProcessEnvironment(environment);
    }
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

void TestCheckMode::checkLineForEachState_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("absent") << "absent" << kFalseLine << 0;
    QTest::newRow("present, not running") << "present" << kTrueLine << 1;
    QTest::newRow("running elsewhere") << "running" << kTrueLine << 1;
    QTest::newRow("running, other letter case") << "running lower" << kTrueLine << 1;
}

void TestCheckMode::checkLineForEachState()
{
    QFETCH(QString, state);
    QFETCH(QByteArray, line);
    QFETCH(int, exitCode);

    const QString program = installCopy(QStringLiteral("bin"));
    QVERIFY(!program.isEmpty());
    const QString binDir = QFileInfo(program).path();
    const QString marker = root->filePath(QStringLiteral("launched"));

    if (state == "present") {
        // Check mode must never start it; if it did, the marker would appear
        // (or the script would still be running under Core Temp's name).
        QFile script(binDir + QStringLiteral("/Core Temp.exe"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\ntouch '" + QFile::encodeName(marker) + "'\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
    } else if (state == "running") {
        startFakeCoreTemp(QStringLiteral("Core Temp.exe"));
    } else if (state == "running lower") {
        startFakeCoreTemp(QStringLiteral("core temp.EXE"));
    }

    const Outcome outcome =
        run(binDir, QStringLiteral("./pcreport"), {QStringLiteral("check")}, true);
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.out, line);
    QCOMPARE(outcome.exitCode, exitCode);

    if (state == "present") {
        QVERIFY(!QFile::exists(marker));
        QVERIFY(!coreTempProcessRunning());
    }
}

// Which word selects what is the mode scan's table; here the program as a
// whole: argv[0] counts, check wins, and a start without a mode word idles.
void TestCheckMode::modeWords()
{
    QVERIFY(!installCopy(QStringLiteral("checker")).isEmpty());
    // Started as "checker/pcreport" from the temporary root: argv[0] holds
    // the folder's name and nothing else of the temporary path.
    const Outcome outcome =
        run(root->path(), QStringLiteral("checker/pcreport"), {QStringLiteral("grab")});
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.out, kFalseLine);
    QCOMPARE(outcome.exitCode, 0);
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

// Which argument lists ask for these is the mode scan's table; here what the
// program prints for them and that it ends at once with status 0.
void TestCheckMode::informationOptions_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QByteArray>("outputStart");
    QTest::addColumn<bool>("wholeOutput");

    QTest::newRow("--help") << "--help" << QByteArray("Usage: pcreport check | grab") << false;
    QTest::newRow("--version") << "--version" << QByteArray("pcreport " PCREPORT_VERSION "\n")
                               << true;
}

void TestCheckMode::informationOptions()
{
    QFETCH(QString, option);
    QFETCH(QByteArray, outputStart);
    QFETCH(bool, wholeOutput);

    const QString program = installCopy(QStringLiteral("bin"));
    QVERIFY(!program.isEmpty());
    const Outcome outcome = run(QFileInfo(program).path(), QStringLiteral("./pcreport"), {option});
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.exitCode, 0);
    if (wholeOutput)
        QCOMPARE(outcome.out, outputStart);
    else
        QVERIFY2(outcome.out.startsWith(outputStart), outcome.out.constData());
    QCOMPARE(outcome.err, QByteArray());
}

QTEST_GUILESS_MAIN(TestCheckMode)
#include "tst_check_mode.moc"
