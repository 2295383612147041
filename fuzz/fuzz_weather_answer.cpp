// The weather service's answer, as the weather thread decodes it: the body
// comes in as bytes, passes through QString on its way to the decoder, and a
// decoded reading must be one a record can carry.

#include "fuzz_expect.h"
#include "weather/weather_client.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QByteArray raw(reinterpret_cast<const char *>(data), static_cast<int>(size));
    for (const QByteArray &body : {raw, QString::fromUtf8(raw).toUtf8()}) {
        const WeatherDecode outcome = QWeatherClient::decodeWeatherResponse(body);
        if (outcome.ok) {
            FUZZ_EXPECT(std::isfinite(outcome.temperature));
            FUZZ_EXPECT(outcome.temperature >= -100.0f && outcome.temperature <= 100.0f);
            FUZZ_EXPECT(outcome.descriptionId <= 60);
        } else {
            FUZZ_EXPECT(!outcome.error.isEmpty());
        }
    }
    return 0;
}
