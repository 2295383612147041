#include "monitor_readings.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "common/retry_on_eintr.h"

namespace fs = std::filesystem;

namespace {

std::string_view trim(std::string_view s)
{
    const char *space = " \t\r\n";
    const std::size_t first = s.find_first_not_of(space);
    if (first == std::string_view::npos)
        return std::string_view();
    const std::size_t last = s.find_last_not_of(space);
    return s.substr(first, last - first + 1);
}

bool startsWith(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool parseInt(std::string_view text, long long &value)
{
    const std::string t(trim(text)); // strtoll wants the end marked
    if (t.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(t.c_str(), &end, 10);
    if (errno != 0 || end == t.c_str() || *end != '\0')
        return false;
    value = v;
    return true;
}

/// The unsigned decimal number at `p` after blanks, ending at a blank or at
/// `end`; false when there is none or it overflows. On success `p` is past it.
bool nextNumber(const char *&p, const char *end, uint64_t &value)
{
    const char *q = p;
    while (q < end && (*q == ' ' || *q == '\t'))
        ++q;
    if (q == end || *q < '0' || *q > '9')
        return false;
    uint64_t v = 0;
    for (; q < end && *q >= '0' && *q <= '9'; ++q) {
        const uint64_t digit = static_cast<uint64_t>(*q - '0');
        if (v > (UINT64_MAX - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    if (q < end && *q != ' ' && *q != '\t')
        return false;
    value = v;
    p = q;
    return true;
}

/// Millidegrees Celsius from a sysfs temperature file.
bool readMillidegrees(const std::string &path, float &celsius)
{
    std::string text;
    return readTextFile(path, text) && parseMillidegrees(text, celsius);
}

std::string fileLine(const fs::path &path)
{
    std::string text;
    return readTextFile(path.string(), text) ? std::string(trim(text)) : std::string();
}

/// Sub-directories of `root` (symlinks followed, as in sysfs), in the order
/// of their trailing number, so that hwmon10 comes after hwmon2.
std::vector<fs::path> numberedDirs(const std::string &root, const std::string &prefix)
{
    std::vector<std::pair<long long, fs::path>> found;
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        long long number = 0;
        if (!startsWith(name, prefix) || !parseInt(name.substr(prefix.size()), number))
            continue;
        std::error_code dirEc;
        if (fs::is_directory(it->path(), dirEc))
            found.emplace_back(number, it->path());
    }
    std::sort(found.begin(), found.end());
    std::vector<fs::path> dirs;
    for (const auto &entry : found)
        dirs.push_back(entry.second);
    return dirs;
}

/// Label of every tempN_input in a hwmon directory that has one: label -> input path.
std::vector<std::pair<std::string, std::string>> labelledInputs(const fs::path &dir)
{
    std::vector<std::pair<std::string, std::string>> inputs;
    std::error_code ec;
    std::vector<std::string> labelFiles;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::string suffix = "_label";
        if (startsWith(name, "temp") && name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            labelFiles.push_back(name);
    }
    std::sort(labelFiles.begin(), labelFiles.end());
    for (const std::string &labelFile : labelFiles) {
        const std::string base = labelFile.substr(0, labelFile.size() - 6);
        inputs.emplace_back(fileLine(dir / labelFile), (dir / (base + "_input")).string());
    }
    return inputs;
}

bool anyReadable(const std::vector<std::string> &inputs)
{
    float celsius = 0.0f;
    return std::any_of(inputs.begin(), inputs.end(),
                       [&](const std::string &path) { return readMillidegrees(path, celsius); });
}

TemperatureSensor findCoretemp(const std::vector<fs::path> &hwmons)
{
    // One coretemp device per package; its "Core N" numbers are core ids,
    // which need not be contiguous.
    std::vector<std::pair<long long, std::vector<std::string>>> packages;
    std::vector<std::string> dirs;
    for (const fs::path &dir : hwmons) {
        if (fileLine(dir / "name") != "coretemp")
            continue;
        long long package = static_cast<long long>(packages.size()) + 1000;
        std::map<long long, std::string> cores;
        for (const auto &[label, input] : labelledInputs(dir)) {
            long long number = 0;
            if (startsWith(label, "Core ") && parseInt(label.substr(5), number))
                cores[number] = input;
            else if (startsWith(label, "Package id ") && parseInt(label.substr(11), number))
                package = number;
        }
        if (cores.empty())
            continue;
        std::vector<std::string> inputs;
        for (const auto &core : cores)
            inputs.push_back(core.second);
        packages.emplace_back(package, inputs);
        dirs.push_back(dir.string());
    }
    std::stable_sort(packages.begin(), packages.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });

    TemperatureSensor sensor;
    for (const auto &package : packages)
        sensor.inputs.insert(sensor.inputs.end(), package.second.begin(), package.second.end());
    if (!anyReadable(sensor.inputs))
        return TemperatureSensor();
    sensor.perCore = true;
    sensor.description = "coretemp (";
    for (std::size_t i = 0; i < dirs.size(); ++i)
        sensor.description += (i ? ", " : "") + dirs[i];
    sensor.description += ")";
    return sensor;
}

TemperatureSensor findAmd(const std::vector<fs::path> &hwmons)
{
    for (const fs::path &dir : hwmons) {
        const std::string name = fileLine(dir / "name");
        if (name != "k10temp" && name != "zenpower")
            continue;
        // Tdie is the die temperature; Tctl may carry a fan-control offset.
        std::string tdie, tctl;
        for (const auto &[label, input] : labelledInputs(dir)) {
            if (label == "Tdie" && tdie.empty())
                tdie = input;
            else if (label == "Tctl" && tctl.empty())
                tctl = input;
        }
        std::vector<std::string> candidates = {tdie, tctl};
        // Kernels before 4.15 give k10temp a single unlabelled input.
        candidates.push_back((dir / "temp1_input").string());
        for (const std::string &input : candidates) {
            if (input.empty() || !anyReadable({input}))
                continue;
            TemperatureSensor sensor;
            sensor.inputs = {input};
            sensor.description = name + " (" + input + ")";
            return sensor;
        }
    }
    return TemperatureSensor();
}

TemperatureSensor findThermalZone(const std::string &thermalRoot)
{
    for (const fs::path &dir : numberedDirs(thermalRoot, "thermal_zone")) {
        const std::string type = fileLine(dir / "type");
        if (type != "x86_pkg_temp" && type != "cpu_thermal")
            continue;
        const std::string input = (dir / "temp").string();
        if (!anyReadable({input}))
            continue;
        TemperatureSensor sensor;
        sensor.inputs = {input};
        sensor.description = "thermal zone " + type + " (" + dir.string() + ")";
        return sensor;
    }
    return TemperatureSensor();
}

/// Calls field(key, value), both trimmed, for each "key: value" line of
/// /proc/cpuinfo inside a processor's block: from a "processor" line with a
/// number (passed too) to the next blank line. Stops when field returns false.
template <typename Field> void forEachCpuInfoField(std::string_view text, Field field)
{
    bool inBlock = false;
    while (!text.empty()) {
        const std::size_t eol = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, eol);
        text.remove_prefix(std::min(eol + 1, text.size()));
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            if (trim(line).empty())
                inBlock = false;
            continue;
        }
        const std::string_view key = trim(line.substr(0, colon));
        const std::string_view value = trim(line.substr(colon + 1));
        long long number = 0;
        if (key == "processor") {
            if (!parseInt(value, number))
                continue;
            inBlock = true;
        }
        if (inBlock && !field(key, value))
            return;
    }
}

/// A "cpu MHz" value: finite and above 0.
bool parseMhz(std::string_view value, double &mhz)
{
    const std::string text(value); // strtod wants the end marked
    char *end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !std::isfinite(parsed) || parsed <= 0.0)
        return false;
    mhz = parsed;
    return true;
}

} // namespace

bool parseMillidegrees(std::string_view text, float &celsius)
{
    long long milli = 0;
    if (!parseInt(text, milli))
        return false;
    celsius = static_cast<float>(static_cast<double>(milli) / 1000.0);
    return true;
}

RereadFile::~RereadFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

RereadFile::RereadFile(RereadFile &&other) noexcept
    : m_path(std::move(other.m_path)), m_fd(std::exchange(other.m_fd, -1)),
      m_buffer(std::move(other.m_buffer))
{
}

bool RereadFile::read(std::string_view &text)
{
    if (m_fd < 0)
        m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    std::size_t length = 0;
    for (;;) {
        if (length == m_buffer.size()) // sysfs attributes fit in the first size
            m_buffer.resize(std::max<std::size_t>(256, 2 * m_buffer.size()));
        const std::size_t asked = m_buffer.size() - length;
        const ssize_t got = retryOnEintr([&] {
            return ::pread(m_fd, m_buffer.data() + length, asked, static_cast<off_t>(length));
        });
        if (got < 0) {
            ::close(m_fd);
            m_fd = -1;
            return false;
        }
        length += static_cast<std::size_t>(got);
        if (static_cast<std::size_t>(got) < asked)
            break;
    }
    text = std::string_view(m_buffer.data(), length);
    return true;
}

void ProcStatReader::read(std::vector<CpuTicks> &cpus)
{
    std::string_view text;
    if (m_file.read(text))
        parseProcStat(text, cpus);
    else
        cpus.clear();
}

TemperatureReader::TemperatureReader(const TemperatureSensor &sensor) : m_perCore(sensor.perCore)
{
    for (const std::string &input : sensor.inputs)
        m_inputs.push_back(Input{RereadFile(input)});
}

bool TemperatureReader::read(float *temperatures, std::size_t count)
{
    bool any = false;
    float hottest = 0.0f;
    for (Input &input : m_inputs) {
        std::string_view text;
        input.ok = input.file.read(text) && parseMillidegrees(text, input.celsius);
        if (input.ok && (!any || input.celsius > hottest))
            hottest = input.celsius;
        any = any || input.ok;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!any)
            temperatures[i] = 0.0f;
        else if (m_perCore && i < m_inputs.size() && m_inputs[i].ok)
            temperatures[i] = m_inputs[i].celsius;
        else
            temperatures[i] = hottest;
    }
    return any;
}

bool parseKilohertz(std::string_view text, double &mhz)
{
    long long khz = 0;
    if (!parseInt(text, khz) || khz <= 0)
        return false;
    mhz = static_cast<double>(khz) / 1000.0;
    return true;
}

CpuClock::CpuClock(std::string cpufreqPath, std::string cpuinfoPath, unsigned int cpuinfoEvery)
    : m_cpufreq(std::move(cpufreqPath)), m_cpuinfoPath(std::move(cpuinfoPath)),
      m_cpuinfoEvery(std::max(cpuinfoEvery, 1u))
{
}

double CpuClock::mhz()
{
    // cpufreq on every call while it answers (the count stays 0), else
    // whenever /proc/cpuinfo is due: a frequency driver may have been loaded
    // since. Should cpufreq fail, /proc/cpuinfo at once.
    if (m_untilCpuinfo == 0) {
        std::string_view text;
        double value = 0.0;
        if (m_cpufreq.read(text) && parseKilohertz(text, value))
            return m_mhz = value;
        m_untilCpuinfo = m_cpuinfoEvery;
        // Some machines (ARM) give no "cpu MHz": keep the last clock known.
        if (readTextFile(m_cpuinfoPath, m_cpuinfo)) {
            const double cpuinfo = parseCpuInfoMhz(m_cpuinfo);
            if (cpuinfo > 0.0)
                m_mhz = cpuinfo;
        }
    }
    --m_untilCpuinfo;
    return m_mhz;
}

bool readTextFile(const std::string &path, std::string &text)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // To the end: /proc/cpuinfo comes a record at a time, so a read shorter
    // than asked does not mean the end, as it does for RereadFile.
    std::size_t length = 0;
    ssize_t got = 0;
    do {
        text.resize(std::max(text.capacity(), length + 4096));
        got = retryOnEintr([&] { return ::read(fd, &text[length], text.size() - length); });
        if (got > 0)
            length += static_cast<std::size_t>(got);
    } while (got > 0);
    ::close(fd);
    text.resize(got == 0 ? length : 0);
    return got == 0;
}

void parseProcStat(std::string_view text, std::vector<CpuTicks> &cpus)
{
    // By hand, not with streams: this runs every second, and after the wake-up
    // and the reads it was most of what the monitor cost.
    cpus.clear();
    const char *line = text.data();
    const char *const end = line + text.size();
    while (line < end) {
        const char *eol = static_cast<const char *>(std::memchr(line, '\n', end - line));
        if (eol == nullptr)
            eol = end;
        const char *field = line + 3;
        uint64_t number = 0;
        if (eol - line > 3 && std::memcmp(line, "cpu", 3) == 0 && line[3] >= '0' &&
            line[3] <= '9' && nextNumber(field, eol, number) && number <= INT_MAX) {
            CpuTicks ticks;
            ticks.cpu = static_cast<int>(number);
            uint64_t value[8] = {};
            int count = 0;
            while (count < 8 && nextNumber(field, eol, value[count]))
                ++count;
            if (count >= 4) { // user, nice, system and idle are always there
                // guest and guest_nice are already counted in user and nice.
                ticks.idle = value[3] + value[4];
                for (uint64_t v : value)
                    ticks.total += v;
                cpus.push_back(ticks);
            }
        }
        line = eol < end ? eol + 1 : end;
    }
}

unsigned int cpuLoadPercent(const CpuTicks &before, const CpuTicks &after)
{
    if (after.total <= before.total || after.idle < before.idle)
        return 0;
    const double total = static_cast<double>(after.total - before.total);
    const double idle = static_cast<double>(after.idle - before.idle);
    const double load = std::lround(100.0 * (1.0 - idle / total));
    return static_cast<unsigned int>(std::clamp(load, 0.0, 100.0));
}

unsigned int coreLoadPercent(const std::vector<CpuTicks> &before,
                             const std::vector<CpuTicks> &after, const std::vector<int> &cpus)
{
    auto find = [](const std::vector<CpuTicks> &all, int cpu) -> const CpuTicks * {
        for (const CpuTicks &t : all)
            if (t.cpu == cpu)
                return &t;
        return nullptr;
    };
    CpuTicks sumBefore, sumAfter;
    for (int cpu : cpus) {
        const CpuTicks *b = find(before, cpu);
        const CpuTicks *a = find(after, cpu);
        if (!b || !a)
            continue;
        sumBefore.idle += b->idle;
        sumBefore.total += b->total;
        sumAfter.idle += a->idle;
        sumAfter.total += a->total;
    }
    return cpuLoadPercent(sumBefore, sumAfter);
}

double parseCpuInfoMhz(const std::string &text)
{
    double mhz = 0.0;
    forEachCpuInfoField(text, [&](std::string_view key, std::string_view value) {
        return key != "cpu MHz" || !parseMhz(value, mhz);
    });
    return mhz;
}

CpuTopology parseCpuInfo(const std::string &text)
{
    struct Processor
    {
        long long number = -1, package = -1, core = -1;
    };
    std::vector<Processor> processors;
    CpuTopology topology;
    forEachCpuInfoField(text, [&](std::string_view key, std::string_view value) {
        long long number = 0;
        if (key == "processor" && parseInt(value, number))
            processors.push_back(Processor{number});
        else if (key == "physical id" && parseInt(value, number))
            processors.back().package = number;
        else if (key == "core id" && parseInt(value, number))
            processors.back().core = number;
        else if (key == "model name" && topology.name.empty())
            topology.name = value;
        return true;
    });

    const bool described =
        !processors.empty() && std::all_of(processors.begin(), processors.end(),
                                           [](auto &p) { return p.package >= 0 && p.core >= 0; });
    if (!described) {
        topology.packages = 1;
        topology.coresPerPackage = std::max<std::size_t>(processors.size(), 1);
        for (const Processor &p : processors)
            topology.coreCpus.push_back({static_cast<int>(p.number)});
        if (topology.coreCpus.empty())
            topology.coreCpus.push_back({0});
        return topology;
    }

    // package id -> core id -> logical CPUs (hyper-threads share a core).
    std::map<long long, std::map<long long, std::vector<int>>> packages;
    for (const Processor &p : processors)
        packages[p.package][p.core].push_back(static_cast<int>(p.number));
    topology.packages = static_cast<unsigned int>(packages.size());
    std::size_t most = 1;
    for (const auto &package : packages)
        most = std::max(most, package.second.size());
    topology.coresPerPackage = static_cast<unsigned int>(most);
    for (const auto &package : packages) {
        std::vector<std::vector<int>> cores;
        for (const auto &core : package.second)
            cores.push_back(core.second);
        cores.resize(most); // a package with fewer cores leaves empty slots
        topology.coreCpus.insert(topology.coreCpus.end(), cores.begin(), cores.end());
    }
    return topology;
}

TemperatureSensor findTemperatureSensor(const std::string &hwmonRoot,
                                        const std::string &thermalRoot)
{
    const std::vector<fs::path> hwmons = numberedDirs(hwmonRoot, "hwmon");
    TemperatureSensor sensor = findCoretemp(hwmons);
    if (!sensor.found())
        sensor = findAmd(hwmons);
    if (!sensor.found())
        sensor = findThermalZone(thermalRoot);
    return sensor;
}
