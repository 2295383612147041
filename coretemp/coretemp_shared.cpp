#include "coretemp_shared.h"

#include <cstring>

bool decodeCoreTempBlock(const void *bytes, std::size_t length, CoreTempSharedData &out)
{
    if (bytes == nullptr || length < sizeof(CoreTempSharedData))
        return false;
    // The publisher may append fields in later versions; only our prefix counts.
    std::memcpy(&out, bytes, sizeof(CoreTempSharedData));
    return true;
}
