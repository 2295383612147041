#include <QtTest>

#include <vector>

#include "app/command_line.h"

Q_DECLARE_METATYPE(InfoRequest)

// The scan works on argv as the runtime hands it over; these rows build such
// vectors, a null QString standing for a null entry.
class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void scan_data();
    void scan();
    void emptyVector();
};

void TestCommandLine::scan_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("check");
    QTest::addColumn<bool>("grab");
    QTest::addColumn<InfoRequest>("info");

    const QString name = QStringLiteral("/opt/pcreport/pcreport");
    const InfoRequest none = InfoRequest::None;
    const InfoRequest usage = InfoRequest::Usage;
    const InfoRequest version = InfoRequest::Version;
    QTest::newRow("name alone") << QStringList{name} << false << false << none;
    QTest::newRow("check") << QStringList{name, "check"} << true << false << none;
    QTest::newRow("grab") << QStringList{name, "grab"} << false << true << none;
    QTest::newRow("grabcheck sets both") << QStringList{name, "grabcheck"} << true << true << none;
    QTest::newRow("grab check") << QStringList{name, "grab", "check"} << true << true << none;
    QTest::newRow("check grab") << QStringList{name, "check", "grab"} << true << true << none;
    QTest::newRow("--check") << QStringList{name, "--check"} << true << false << none;
    QTest::newRow("precheck") << QStringList{name, "precheck"} << true << false << none;
    QTest::newRow("checkHardware") << QStringList{name, "checkHardware"} << true << false << none;
    QTest::newRow("--grab=1") << QStringList{name, "--grab=1"} << false << true << none;
    QTest::newRow("Check") << QStringList{name, "Check"} << false << false << none;
    QTest::newRow("CHECK") << QStringList{name, "CHECK"} << false << false << none;
    QTest::newRow("Grab GRAB") << QStringList{name, "Grab", "GRAB"} << false << false << none;
    QTest::newRow("word in the program path")
        << QStringList{"/home/me/checker/pcreport"} << true << false << none;
    QTest::newRow("grab in the program path")
        << QStringList{"./grabber/pcreport", "x"} << false << true << none;
    QTest::newRow("UTF-8 around the word")
        << QStringList{name, QStringLiteral("\u00fcbercheck\u00e9")} << true << false << none;
    QTest::newRow("null entry skipped, scan goes on")
        << QStringList{name, QString(), "grab"} << false << true << none;
    QTest::newRow("null program name") << QStringList{QString(), "check"} << true << false << none;

    QTest::newRow("--help") << QStringList{name, "--help"} << false << false << usage;
    QTest::newRow("-h") << QStringList{name, "-h"} << false << false << usage;
    QTest::newRow("--help with more") << QStringList{name, "--help", "x"} << false << false << none;
    QTest::newRow("-h twice") << QStringList{name, "-h", "-h"} << false << false << none;
    QTest::newRow("--HELP") << QStringList{name, "--HELP"} << false << false << none;
    QTest::newRow("--help=x") << QStringList{name, "--help=x"} << false << false << none;
    QTest::newRow("--help beside a mode word in the path")
        << QStringList{"/tmp/checker/pcreport", "--help"} << true << false << none;
    QTest::newRow("--help grab") << QStringList{name, "--help", "grab"} << false << true << none;

    QTest::newRow("--version") << QStringList{name, "--version"} << false << false << version;
    QTest::newRow("--version with more")
        << QStringList{name, "--version", "-h"} << false << false << none;
    QTest::newRow("-v") << QStringList{name, "-v"} << false << false << none;
    QTest::newRow("--Version") << QStringList{name, "--Version"} << false << false << none;
    QTest::newRow("--version=1") << QStringList{name, "--version=1"} << false << false << none;
    QTest::newRow("--version beside a mode word in the path")
        << QStringList{"/tmp/grabber/pcreport", "--version"} << false << true << none;
    QTest::newRow("check --version")
        << QStringList{name, "check", "--version"} << true << false << none;
}

void TestCommandLine::scan()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, check);
    QFETCH(bool, grab);
    QFETCH(InfoRequest, info);

    std::vector<QByteArray> storage;
    std::vector<char *> argv;
    storage.reserve(arguments.size());
    for (const QString &argument : arguments) {
        if (argument.isNull()) {
            argv.push_back(nullptr);
            continue;
        }
        storage.push_back(argument.toUtf8());
        argv.push_back(storage.back().data());
    }
    argv.push_back(nullptr);
    const int argc = int(arguments.size());

    const ModeRequest request = scanModes(argc, argv.data());
    QCOMPARE(request.check, check);
    QCOMPARE(request.grab, grab);
    QCOMPARE(infoRequest(argc, argv.data()), info);
}

void TestCommandLine::emptyVector()
{
    char *argv[] = {nullptr};
    const ModeRequest request = scanModes(0, argv);
    QVERIFY(!request.check);
    QVERIFY(!request.grab);
    QCOMPARE(infoRequest(0, argv), InfoRequest::None);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_command_line.moc"
