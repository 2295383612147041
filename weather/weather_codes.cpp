#include "weather_client.h"

namespace {

struct CodeIndex
{
    int code;
    uchar index;
};

// Each group lists its known codes with their own index; every other code of
// the group shares the group's last index. Index 2 is unused on purpose: the
// reading program's table has a hole there.
constexpr CodeIndex kThunderstorm[] = {{200, 0}, {201, 1}, {202, 3}, {210, 4}, {211, 5},
                                       {212, 6}, {221, 7}, {230, 8}, {231, 9}, {232, 10}};
constexpr CodeIndex kRain[] = {{300, 12}, {301, 13}, {302, 14}, {310, 15}, {311, 16},
                               {312, 17}, {313, 18}, {314, 19}, {321, 20}, {500, 21},
                               {501, 22}, {502, 23}, {503, 24}, {504, 25}, {511, 26},
                               {520, 27}, {521, 28}, {522, 29}, {531, 30}};
constexpr CodeIndex kSnow[] = {{600, 32}, {601, 33}, {602, 34}, {611, 35}, {612, 36}, {613, 37},
                               {615, 38}, {616, 39}, {620, 40}, {621, 41}, {622, 42}};
constexpr CodeIndex kAtmosphere[] = {{701, 44}, {711, 45}, {721, 46}, {731, 47}, {741, 48},
                                     {751, 49}, {761, 50}, {762, 51}, {771, 52}, {781, 53}};
constexpr CodeIndex kClouds[] = {{800, 55}, {801, 56}, {802, 57}, {803, 58}, {804, 59}};

template <std::size_t N> uchar lookup(const CodeIndex (&group)[N], int code, uchar otherwise)
{
    for (const CodeIndex &entry : group) {
        if (entry.code == code)
            return entry.index;
    }
    return otherwise;
}

} // namespace

uchar QWeatherClient::mapWeatherCode(int code)
{
    if (code < 200)
        return 60;
    if (code < 300)
        return lookup(kThunderstorm, code, 11);
    // Drizzle and rain share one group, and 400 to 499 fall into it as well.
    if (code < 600)
        return lookup(kRain, code, 31);
    if (code < 700)
        return lookup(kSnow, code, 43);
    if (code < 800)
        return lookup(kAtmosphere, code, 54);
    return lookup(kClouds, code, 60);
}
