// pcreport.exe's version resource, read the way Explorer's Properties read
// it: the translation the file announces, then its strings and fixed numbers.

#include <QDir>
#include <QRegularExpression>
#include <QTest>
#include <QVersionNumber>

#include <windows.h>

#include <vector>

class TestVersionResourceWin : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void strings_data();
    void strings();
    void fixedNumbers();

private:
    std::vector<char> block;
    QString prefix;
    QString value(const QString &name) const;
};

void TestVersionResourceWin::initTestCase()
{
    const std::wstring program = QDir::toNativeSeparators(PCREPORT_EXE).toStdWString();
    DWORD ignored = 0;
    block.resize(GetFileVersionInfoSizeW(program.c_str(), &ignored));
    QVERIFY2(!block.empty() &&
                 GetFileVersionInfoW(program.c_str(), 0, DWORD(block.size()), block.data()),
             "pcreport.exe carries no version resource");
    struct Translation
    {
        WORD language;
        WORD codePage;
    } *translation = nullptr;
    UINT length = 0;
    QVERIFY(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                           reinterpret_cast<void **>(&translation), &length));
    QVERIFY(length >= sizeof *translation);
    // US English in Unicode.
    QCOMPARE(translation->language, WORD(0x409));
    QCOMPARE(translation->codePage, WORD(1200));
    prefix = QStringLiteral("\\StringFileInfo\\040904b0\\");
}

QString TestVersionResourceWin::value(const QString &name) const
{
    void *text = nullptr;
    UINT length = 0;
    const std::wstring path = (prefix + name).toStdWString();
    if (!VerQueryValueW(block.data(), path.c_str(), &text, &length) || text == nullptr)
        return QStringLiteral("<missing>");
    return QString::fromWCharArray(static_cast<const wchar_t *>(text));
}

void TestVersionResourceWin::strings_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("pattern");
    QTest::newRow("ProductName") << "ProductName"
                                 << "^pcreport$";
    const QString version = '^' + QRegularExpression::escape(PCREPORT_VERSION) + '$';
    QTest::newRow("FileVersion") << "FileVersion" << version;
    QTest::newRow("ProductVersion") << "ProductVersion" << version;
    QTest::newRow("OriginalFilename") << "OriginalFilename"
                                      << "^pcreport\\.exe$";
    QTest::newRow("InternalName") << "InternalName"
                                  << "^pcreport$";
    QTest::newRow("FileDescription names the program") << "FileDescription"
                                                       << "^pcreport";
    QTest::newRow("LegalCopyright names the authors and the licence")
        << "LegalCopyright"
        << "pcreport developers.*MIT|MIT.*pcreport developers";
}

void TestVersionResourceWin::strings()
{
    QFETCH(QString, name);
    QFETCH(QString, pattern);
    const QString got = value(name);
    QVERIFY2(QRegularExpression(pattern).match(got).hasMatch(), qPrintable(got));
}

void TestVersionResourceWin::fixedNumbers()
{
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    QVERIFY(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &length));
    QVERIFY(length >= sizeof *fixed);
    QCOMPARE(fixed->dwSignature, DWORD(0xFEEF04BD));
    // FILEVERSION's four numbers, the ones the project's version lacks 0.
    const QVersionNumber version = QVersionNumber::fromString(PCREPORT_VERSION);
    const DWORD high = MAKELONG(version.segmentAt(1), version.segmentAt(0));
    const DWORD low = MAKELONG(version.segmentAt(3), version.segmentAt(2));
    QCOMPARE(fixed->dwFileVersionMS, high);
    QCOMPARE(fixed->dwFileVersionLS, low);
    QCOMPARE(fixed->dwProductVersionMS, high);
    QCOMPARE(fixed->dwProductVersionLS, low);
    // An application, a plain release build.
    QCOMPARE(fixed->dwFileType, DWORD(VFT_APP));
    QCOMPARE(fixed->dwFileFlags, DWORD(0));
}

QTEST_APPLESS_MAIN(TestVersionResourceWin)
#include "tst_version_resource_win.moc"
