#pragma once

// What the Linux monitor reads from the machine, split into parsers that take
// file contents or a root directory so tests can feed fixtures. Plain C++17.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/// Tick counters of one logical CPU from a "cpuN" line of /proc/stat.
struct CpuTicks
{
    int cpu = -1;       ///< N of "cpuN"
    uint64_t idle = 0;  ///< idle + iowait
    uint64_t total = 0; ///< user + nice + system + idle + iowait + irq + softirq + steal
};

/// Every "cpuN" line of /proc/stat (the aggregate "cpu" line is skipped), in
/// `cpus`, which is emptied first and keeps its capacity.
void parseProcStat(std::string_view text, std::vector<CpuTicks> &cpus);

/// Busy share between two readings of the same CPU, in whole percent:
/// 100 * (1 - d(idle) / d(total)), rounded and clamped to 0..100; 0 when no
/// tick passed or a counter went backwards.
unsigned int cpuLoadPercent(const CpuTicks &before, const CpuTicks &after);

/// Load of a core whose logical CPUs are `cpus`, from the ticks summed over
/// them; CPUs missing from either reading are left out.
unsigned int coreLoadPercent(const std::vector<CpuTicks> &before,
                             const std::vector<CpuTicks> &after, const std::vector<int> &cpus);

/// The processor as /proc/cpuinfo describes it.
struct CpuTopology
{
    unsigned int packages = 1;        ///< distinct "physical id" values, at least 1
    unsigned int coresPerPackage = 1; ///< most cores of any package, at least 1
    std::string name;                 ///< "model name" of the first processor
    /// Logical CPUs ("processor" numbers) of each core, core c of package p at
    /// index c + p * coresPerPackage, as in Core Temp's block: always
    /// packages * coresPerPackage entries.
    std::vector<std::vector<int>> coreCpus;
};

/// Parses /proc/cpuinfo. Without "physical id" and "core id" (some virtual
/// machines, ARM) every logical CPU counts as a core of one package.
CpuTopology parseCpuInfo(const std::string &text);

/// The first positive "cpu MHz" of a processor in /proc/cpuinfo; 0 when none.
double parseCpuInfoMhz(const std::string &text);

/// A CPU temperature sensor found in sysfs.
struct TemperatureSensor
{
    std::string description; ///< e.g. "coretemp (/sys/class/hwmon/hwmon2)"; empty: none
    /// Files holding millidegrees Celsius. When perCore, inputs[i] is core i
    /// (in Core Temp's index order); otherwise inputs[0] serves every core.
    std::vector<std::string> inputs;
    bool perCore = false;

    bool found() const { return !inputs.empty(); }
};

/// Looks for the CPU temperature, best first: hwmon "coretemp" with its
/// "Core N" labels (one hwmon per package), hwmon "k10temp" or "zenpower"
/// with Tdie or Tctl, then the thermal zones of type "x86_pkg_temp" or
/// "cpu_thermal". Only sensors that can be read count.
TemperatureSensor findTemperatureSensor(const std::string &hwmonRoot = "/sys/class/hwmon",
                                        const std::string &thermalRoot = "/sys/class/thermal");

/// Degrees Celsius from the text of a sysfs temperature file (whole
/// millidegrees, surrounding white space allowed); false when malformed.
bool parseMillidegrees(std::string_view text, float &celsius);

/// A file read whole from offset 0 on every call and kept open in between.
/// Meant for files the kernel makes in one piece on each read from offset 0
/// (/proc/stat, sysfs attributes) and for regular files: a read shorter than
/// asked is taken for the end, so once its buffer has grown to fit, each call
/// is a single pread and allocates nothing. Not for files made record by
/// record (/proc/cpuinfo).
class RereadFile
{
public:
    explicit RereadFile(std::string path) : m_path(std::move(path)) {}
    ~RereadFile();
    RereadFile(RereadFile &&other) noexcept;
    RereadFile(const RereadFile &) = delete;
    RereadFile &operator=(const RereadFile &) = delete;
    RereadFile &operator=(RereadFile &&) = delete;

    /// The whole file as it is now, in `text` until the next call; false
    /// when it cannot be opened or read (the next call opens it afresh).
    bool read(std::string_view &text);

private:
    std::string m_path;
    int m_fd = -1;
    std::vector<char> m_buffer; ///< only grows: never cleared nor filled again
};

/// /proc/stat, kept open.
class ProcStatReader
{
public:
    explicit ProcStatReader(std::string path = "/proc/stat") : m_file(std::move(path)) {}

    /// The tick counters now, in `cpus` (see parseProcStat); none when the
    /// file cannot be read.
    void read(std::vector<CpuTicks> &cpus);

private:
    RereadFile m_file;
};

/// Reads a sensor's files, kept open, once per call.
class TemperatureReader
{
public:
    explicit TemperatureReader(const TemperatureSensor &sensor);

    /// Reads the sensor into temperatures[0..count) in degrees Celsius. Cores
    /// the sensor has no input for get the hottest reading. False when nothing
    /// could be read (the temperatures are then 0).
    bool read(float *temperatures, std::size_t count);

private:
    struct Input
    {
        RereadFile file;
        float celsius = 0.0f; ///< last reading, when ok
        bool ok = false;
    };
    bool m_perCore;
    std::vector<Input> m_inputs;
};

/// MHz from the text of a cpufreq frequency file (scaling_cur_freq: whole
/// kHz, surrounding white space allowed); false when malformed or not positive.
bool parseKilohertz(std::string_view text, double &mhz);

/// The clock for Core Temp's block, in MHz. With cpufreq, the kernel's current
/// frequency of cpu0 (scaling_cur_freq, kept open: one pread per call). Without
/// it, "cpu MHz" of /proc/cpuinfo, read on the first call and then only every
/// `cpuinfoEvery` calls: that file is made for every CPU on each read, and
/// without a frequency driver its clock seldom changes (on most virtual
/// machines never). cpufreq is looked for again at each of those readings.
/// Nothing is allocated once the buffer has grown to hold /proc/cpuinfo.
class CpuClock
{
public:
    explicit CpuClock(
        std::string cpufreqPath = "/sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq",
        std::string cpuinfoPath = "/proc/cpuinfo", unsigned int cpuinfoEvery = 60);

    /// The clock now, or as last read; 0 when no source ever gave one.
    double mhz();

private:
    RereadFile m_cpufreq;
    std::string m_cpuinfoPath;
    unsigned int m_cpuinfoEvery;
    /// Calls before /proc/cpuinfo is due; stays 0 while cpufreq answers.
    unsigned int m_untilCpuinfo = 0;
    double m_mhz = 0.0;
    std::string m_cpuinfo;
};

/// Whole contents of a file, read to its end into `text`, whose capacity is
/// kept; false when it cannot be read.
bool readTextFile(const std::string &path, std::string &text);
