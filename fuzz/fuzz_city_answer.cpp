// The geolocation service's answer: whatever it holds, the decoder gives a
// city in valid UTF-8 or nothing.

#include "fuzz_expect.h"
#include "weather/city_lookup.h"

#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const std::string city = decodeCityAnswer(body);
    const QByteArray utf8 = QByteArray::fromStdString(city);
    FUZZ_EXPECT(QString::fromUtf8(utf8.constData(), utf8.size()).toUtf8() == utf8);
    return 0;
}
