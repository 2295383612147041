// Core Temp's shared block, from the bytes of the segment to the record line:
// the proxy's snapshot and getters, then the record built from core 0.

#include "fuzz_expect.h"
#include "output/output_record.h"
#include "coretemp/coretemp_proxy.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstddef>
#include <cstdint>

namespace {
const uint8_t *segment = nullptr;
std::size_t segmentSize = 0;
} // namespace

// The platform part of the proxy, reading the fuzzer's bytes for a segment.
bool readCoreTempBlock(CoreTempSharedData &out)
{
    return decodeCoreTempBlock(segment, segmentSize, out);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    segment = data;
    segmentSize = size;
    CoreTempProxy proxy;
    const bool valid = proxy.GetData();
    FUZZ_EXPECT(valid == (size >= sizeof(CoreTempSharedData)));
    if (!valid) {
        FUZZ_EXPECT(proxy.GetCPUCount() == 0 && proxy.GetTemp(0) == 0.0f &&
                    proxy.GetCoreLoad(0) == 0);
        return 0;
    }
    // Indexes outside the block give nothing rather than a read past it.
    for (int index : {-1, 256, 100000})
        FUZZ_EXPECT(proxy.GetTemp(index) == 0.0f && proxy.GetCoreLoad(index) == 0);

    RecordValues values;
    values.load = static_cast<float>(proxy.GetCoreLoad(0));
    values.temperature = proxy.GetTemp(0);
    values.memoryUsage = proxy.GetTemp(255);
    const QByteArray line = buildRecordLine(QDateTime::currentDateTime(), values);
    QJsonParseError error;
    const QJsonDocument record = QJsonDocument::fromJson(line, &error);
    FUZZ_EXPECT(error.error == QJsonParseError::NoError && record.object().size() == 13);
    FUZZ_EXPECT(!line.contains('\n'));
    return 0;
}
