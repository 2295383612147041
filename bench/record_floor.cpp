// The record's floor: what each record needs and nothing else, on one thread
// with no event loop: the shared block, the memory use, a volume read and the
// line, through the program's own code, one record a second. It starts as
// pcreport starts (its libraries linked, the application object made), so
// its first line is also the floor of the first record.
#include <QCoreApplication>

#include <unistd.h>

#include "output/output_record.h"
#include "output/system_volume.h"
#include "coretemp/coretemp_proxy.h"
#include "sampler/memory_status.h"

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    for (;;) {
        RecordValues values;
        CoreTempProxy proxy;
        if (proxy.GetData()) {
            values.temperature = proxy.GetTemp(0);
            values.load = static_cast<float>(proxy.GetCoreLoad(0));
        }
        values.memoryUsage = memoryUsagePercent();
        values.systemVolume = readSystemVolume();
        if (!writeRecordLine(stdout, buildRecordLine(QDateTime::currentDateTime(), values)))
            return 1;
        sleep(1);
    }
}
