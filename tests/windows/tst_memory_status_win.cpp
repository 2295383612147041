// Physical memory through GlobalMemoryStatusEx, under wine.

#include <QTest>

#include <windows.h>

#include <cmath>

#include "sampler/memory_status.h"

class TestMemoryStatusWin : public QObject
{
    Q_OBJECT
private slots:
    void readsTheSystemsPhysicalMemory()
    {
        uint64_t total = 0;
        uint64_t available = 0;
        QVERIFY(readPhysicalMemory(total, available));
        QVERIFY(total > 0);
        QVERIFY(available <= total);
        MEMORYSTATUSEX status{};
        status.dwLength = sizeof status;
        QVERIFY(GlobalMemoryStatusEx(&status));
        QCOMPARE(total, static_cast<uint64_t>(status.ullTotalPhys));

        // Within 5 points of the load Windows itself reports.
        const float usage = memoryUsagePercent();
        QVERIFY2(usage > 0.0f && usage <= 100.0f &&
                     std::abs(usage - float(status.dwMemoryLoad)) <= 5.0f,
                 qPrintable(QString("%1 against %2").arg(usage).arg(status.dwMemoryLoad)));
    }
};

QTEST_APPLESS_MAIN(TestMemoryStatusWin)
#include "tst_memory_status_win.moc"
