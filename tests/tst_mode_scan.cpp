#include <QtTest>

#include <vector>

#include "app/mode_scan.h"

// The scan works on argv as the runtime hands it over; these rows build such
// vectors, a null QString standing for a null entry.
class TestModeScan : public QObject
{
    Q_OBJECT

private slots:
    void scan_data();
    void scan();
    void emptyVector();
};

void TestModeScan::scan_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("check");
    QTest::addColumn<bool>("grab");
    QTest::addColumn<bool>("usage");

    const QString name = QStringLiteral("/opt/pcreport/pcreport");
    QTest::newRow("name alone") << QStringList{name} << false << false << false;
    QTest::newRow("check") << QStringList{name, "check"} << true << false << false;
    QTest::newRow("grab") << QStringList{name, "grab"} << false << true << false;
    QTest::newRow("grabcheck sets both") << QStringList{name, "grabcheck"} << true << true << false;
    QTest::newRow("grab check") << QStringList{name, "grab", "check"} << true << true << false;
    QTest::newRow("check grab") << QStringList{name, "check", "grab"} << true << true << false;
    QTest::newRow("--check") << QStringList{name, "--check"} << true << false << false;
    QTest::newRow("precheck") << QStringList{name, "precheck"} << true << false << false;
    QTest::newRow("checkHardware") << QStringList{name, "checkHardware"} << true << false << false;
    QTest::newRow("--grab=1") << QStringList{name, "--grab=1"} << false << true << false;
    QTest::newRow("Check") << QStringList{name, "Check"} << false << false << false;
    QTest::newRow("CHECK") << QStringList{name, "CHECK"} << false << false << false;
    QTest::newRow("Grab GRAB") << QStringList{name, "Grab", "GRAB"} << false << false << false;
    QTest::newRow("word in the program path")
        << QStringList{"/home/me/checker/pcreport"} << true << false << false;
    QTest::newRow("grab in the program path")
        << QStringList{"./grabber/pcreport", "x"} << false << true << false;
    QTest::newRow("UTF-8 around the word")
        << QStringList{name, QStringLiteral("\u00fcbercheck\u00e9")} << true << false << false;
    QTest::newRow("null entry skipped, scan goes on")
        << QStringList{name, QString(), "grab"} << false << true << false;
    QTest::newRow("null program name") << QStringList{QString(), "check"} << true << false << false;

    QTest::newRow("--help") << QStringList{name, "--help"} << false << false << true;
    QTest::newRow("-h") << QStringList{name, "-h"} << false << false << true;
    QTest::newRow("--help with more")
        << QStringList{name, "--help", "x"} << false << false << false;
    QTest::newRow("-h twice") << QStringList{name, "-h", "-h"} << false << false << false;
    QTest::newRow("--HELP") << QStringList{name, "--HELP"} << false << false << false;
    QTest::newRow("--help=x") << QStringList{name, "--help=x"} << false << false << false;
    QTest::newRow("--help beside a mode word in the path")
        << QStringList{"/tmp/checker/pcreport", "--help"} << true << false << false;
    QTest::newRow("--help grab") << QStringList{name, "--help", "grab"} << false << true << false;
}

void TestModeScan::scan()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, check);
    QFETCH(bool, grab);
    QFETCH(bool, usage);

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
    QCOMPARE(wantsUsage(argc, argv.data()), usage);
}

void TestModeScan::emptyVector()
{
    char *argv[] = {nullptr};
    const ModeRequest request = scanModes(0, argv);
    QVERIFY(!request.check);
    QVERIFY(!request.grab);
    QVERIFY(!wantsUsage(0, argv));
}

QTEST_GUILESS_MAIN(TestModeScan)
#include "tst_mode_scan.moc"
