// The Win32 Core Temp launcher, run under wine with a real child process: the
// Core Temp stand-in beside this program, which writes down how it was started
// and waits for our go.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

#include "coretemp/coretemp_launch_win.h"

namespace {

const wchar_t kGoEvent[] = L"pcreport_launch_go";

/// A CreateProcessW that fails with `error` and starts nothing: how a real PC
/// answers for a Core Temp that asks for elevation (740), which wine never does.
template <DWORD error>
BOOL WINAPI failsWith(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                      LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION)
{
    SetLastError(error);
    return FALSE;
}

// GetProcessHandleCount is a stub under wine (it always reports 0), so leaked
// handles are found another way: an exited process or thread stays openable
// by its id for as long as anyone holds a handle to it. The control test
// proves the method on a process whose handles are kept on purpose. Counts
// which of the two can still be opened.
int openable(DWORD pid, DWORD tid)
{
    int count = 0;
    for (HANDLE handle : {OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid),
                          OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, tid)}) {
        if (handle != nullptr && CloseHandle(handle))
            ++count;
    }
    return count;
}

QString nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

/// The "name=value" lines of the stand-in's record.
QMap<QString, QString> readRecord(const QString &path)
{
    QMap<QString, QString> values;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            const int equals = line.indexOf('=');
            if (equals > 0)
                values.insert(QString::fromUtf8(line.left(equals)),
                              QString::fromUtf8(line.mid(equals + 1)));
        }
    }
    return values;
}

} // namespace

Q_DECLARE_METATYPE(CreateProcessStep)

class TestCoreTempLaunchWin : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void leakDetectionWorks();
    void launchesHiddenWithoutArguments_data();
    void launchesHiddenWithoutArguments();
    void failures_data();
    void failures();

private:
    const QString standin = QCoreApplication::applicationDirPath() + "/coretemp_standin.exe";
    QTemporaryDir dir{QCoreApplication::applicationDirPath() + "/launch-XXXXXX"};
    /// A folder name with a space and a letter outside ASCII: the path crosses
    /// from UTF-8 to UTF-16 and must stay one token on the command line.
    QString folder;
    QString marker;
};

void TestCoreTempLaunchWin::initTestCase()
{
    QVERIFY(QFile::exists(standin));
    QVERIFY(dir.isValid());
    folder = dir.filePath(QStringLiteral("launch dir \u00fc"));
    QVERIFY(QDir().mkpath(folder));
    marker = dir.filePath(QStringLiteral("launch-marker.txt"));
    SetEnvironmentVariableW(L"PCREPORT_STANDIN_RECORD", nativePath(marker).toStdWString().c_str());
    SetEnvironmentVariableW(L"PCREPORT_LAUNCH_GO", kGoEvent);
    // A program that would run and leave a marker if it were started.
    QVERIFY(QFile::copy(standin, folder + "/Core Temp.exe"));
    // What an unquoted command line would run instead: "<dir>/launch.exe"
    // with the rest of the path as its arguments.
    QVERIFY(QFile::copy(standin, dir.filePath(QStringLiteral("launch.exe"))));
}

void TestCoreTempLaunchWin::leakDetectionWorks()
{
    std::wstring commandLine = L"\"" + nativePath(standin).toStdWString() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // With no go event to wait for, the stand-in leaves its record and ends.
    QVERIFY(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           nullptr, &startup, &process));
    QCOMPARE(WaitForSingleObject(process.hProcess, 20000), DWORD(WAIT_OBJECT_0));
    QCOMPARE(openable(process.dwProcessId, process.dwThreadId), 2);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    QTRY_COMPARE_WITH_TIMEOUT(openable(process.dwProcessId, process.dwThreadId), 0, 5000);
}

void TestCoreTempLaunchWin::launchesHiddenWithoutArguments_data()
{
    QTest::addColumn<CreateProcessStep>("step");
    QTest::newRow("directly") << CreateProcessStep(CreateProcessW);
    QTest::newRow("through the shell after CreateProcessW's 740")
        << CreateProcessStep(failsWith<kErrorElevationRequired>);
}

void TestCoreTempLaunchWin::launchesHiddenWithoutArguments()
{
    QFETCH(CreateProcessStep, step);
    const QString target = folder + "/Core Temp.exe";
    QFile::remove(marker);
    QFile::remove(marker + ".done");
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, kGoEvent);
    const auto letGo = qScopeGuard([go] {
        SetEvent(go);
        CloseHandle(go);
    });

    const LaunchOutcome outcome = startHiddenProcessVia(nativePath(target).toStdString(), step);
    QVERIFY(outcome.started);
    QCOMPARE(outcome.error, 0ul);
    // The stand-in cannot finish before we set the event, so a launcher that
    // waited for it would only come back after the stand-in's own time-out.
    QVERIFY(!QFile::exists(marker + ".done"));

    QMap<QString, QString> values;
    QTRY_VERIFY_WITH_TIMEOUT((values = readRecord(marker)).contains("tid"), 20000);
    QCOMPARE(values.value("module"), nativePath(target));
    QCOMPARE(values.value("cmdline"), '"' + nativePath(target) + '"');
    QCOMPARE(values.value("argc"), QStringLiteral("1"));
    wchar_t cwd[MAX_PATH];
    QCOMPARE(values.value("cwd"),
             QString::fromWCharArray(cwd, GetCurrentDirectoryW(MAX_PATH, cwd)));
    QVERIFY(values.value("flags").toUInt() & STARTF_USESHOWWINDOW);
    QCOMPARE(values.value("show").toInt(), SW_HIDE);

    const DWORD pid = values.value("pid").toUInt();
    const DWORD tid = values.value("tid").toUInt();
    HANDLE watch = OpenProcess(SYNCHRONIZE, FALSE, pid);
    QVERIFY(watch != nullptr);
    const DWORD runningBeforeGo = WaitForSingleObject(watch, 0);
    SetEvent(go);
    const DWORD endedAfterGo = WaitForSingleObject(watch, 20000);
    CloseHandle(watch);
    QCOMPARE(runningBeforeGo, DWORD(WAIT_TIMEOUT)); // it keeps running on its own
    QCOMPARE(endedAfterGo, DWORD(WAIT_OBJECT_0));   // and ends on its own
    QVERIFY(QFile::exists(marker + ".done"));
    // The launcher keeps no handle to the program or its thread.
    QTRY_COMPARE_WITH_TIMEOUT(openable(pid, tid), 0, 5000);
}

void TestCoreTempLaunchWin::failures_data()
{
    QTest::addColumn<CreateProcessStep>("step");
    QTest::addColumn<QString>("file");
    QTest::addColumn<unsigned long>("error");
    QTest::newRow("missing file: the system's error 2")
        << CreateProcessStep(CreateProcessW) << "Missing Core Temp.exe" << 2ul;
    QTest::newRow("740, then the shell cannot start it either: the shell's error 2")
        << CreateProcessStep(failsWith<kErrorElevationRequired>) << "Missing Core Temp.exe" << 2ul;
    // Only 740 is tried again.
    QTest::newRow("another failure (5) stands, no second try")
        << CreateProcessStep(failsWith<ERROR_ACCESS_DENIED>) << "Core Temp.exe" << 5ul;
}

void TestCoreTempLaunchWin::failures()
{
    QFETCH(CreateProcessStep, step);
    QFETCH(QString, file);
    QFETCH(unsigned long, error);
    QFile::remove(marker);
    const QString path = nativePath(folder + '/' + file);
    const LaunchOutcome outcome = startHiddenProcessVia(path.toStdString(), step);
    QVERIFY(!outcome.started);
    QCOMPARE(outcome.error, error);
    if (QFile::exists(path)) {
        // The stand-in leaves its marker well within this when it is started.
        QTest::qWait(2000);
        QVERIFY2(!QFile::exists(marker), "a failed start ran the program");
    }
}

QTEST_GUILESS_MAIN(TestCoreTempLaunchWin)
#include "tst_coretemp_launch_win.moc"
