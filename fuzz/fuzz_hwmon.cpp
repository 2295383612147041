// The monitor's hwmon reader. The input is cut at NUL bytes into the files of
// one hwmon device: its name, then label and input of temp1, temp2 and so on,
// written to a scratch sysfs tree that the sensor search and the temperature
// reading run on. The whole input also goes through the temperature parser.

#include "fuzz_expect.h"
#include "monitor/monitor_readings.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

const fs::path &scratch()
{
    static const fs::path root = [] {
        std::string pattern = (fs::temp_directory_path() / "pcreport-fuzz-hwmon.XXXXXX").string();
        const char *made = ::mkdtemp(pattern.data());
        if (made == nullptr)
            std::abort();
        return fs::path(made);
    }();
    return root;
}

void writeFile(const fs::path &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    float celsius = 0.0f;
    if (parseMillidegrees(input, celsius))
        FUZZ_EXPECT(std::isfinite(celsius));

    const fs::path hwmon = scratch() / "hwmon" / "hwmon0";
    fs::remove_all(scratch() / "hwmon");
    fs::create_directories(hwmon);
    std::size_t start = 0;
    for (int file = 0; file < 9 && start <= input.size(); ++file) {
        std::size_t end = input.find('\0', start);
        if (end == std::string::npos)
            end = input.size();
        const std::string text = input.substr(start, end - start);
        const std::string temp = "temp" + std::to_string((file + 1) / 2);
        writeFile(hwmon / (file == 0 ? "name" : temp + (file % 2 ? "_label" : "_input")), text);
        start = end + 1;
    }

    const TemperatureSensor sensor =
        findTemperatureSensor((scratch() / "hwmon").string(), (scratch() / "none").string());
    float temperatures[256];
    const bool read = TemperatureReader(sensor).read(temperatures, 256);
    FUZZ_EXPECT(read == sensor.found());
    for (float t : temperatures)
        FUZZ_EXPECT(std::isfinite(t) && (read || t == 0.0f));
    return 0;
}
