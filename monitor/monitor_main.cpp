// The Linux stand-in for Core Temp: publishes Core Temp's shared block at
// /dev/shm/CoreTempMappingObject once a second until SIGTERM, SIGINT or SIGHUP.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "common/retry_on_eintr.h"
#include "coretemp/coretemp_block_lock_posix.h"
#include "coretemp/coretemp_shared.h"
#include "monitor/monitor_readings.h"

namespace {

using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC, as sigtimedwait's timeout

constexpr unsigned int kTjMax = 100;
constexpr std::chrono::milliseconds kPublishInterval{1000};
// The first load needs two readings of /proc/stat; don't make the reader
// wait a whole interval for it.
constexpr std::chrono::milliseconds kInitialSample{100};

struct Options
{
    bool checkSensor = false;
    bool fixedTemperature = false;
    float temperature = 0.0f;
};

void printUsage(std::FILE *to)
{
    std::fprintf(to, "usage: \"Core Temp.exe\" [--temperature C] [--check-sensor]\n"
                     "  Publishes the CPU's temperature and load in Core Temp's shared\n"
                     "  memory block (/dev/shm/CoreTempMappingObject) once a second.\n"
                     "  --temperature C  publish C degrees Celsius for every core\n"
                     "  --check-sensor   say which CPU temperature sensor is used; exit 0\n"
                     "                   when there is one, 1 when there is none\n");
}

bool parseTemperature(const char *text, float &celsius)
{
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value) ||
        std::fabs(value) > 1000.0)
        return false;
    celsius = static_cast<float>(value);
    return true;
}

/// 0 when parsed, else the exit status to end with.
int parseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::string prefix = "--temperature=";
        const char *value = nullptr;
        if (arg == "--check-sensor") {
            options.checkSensor = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            printUsage(stdout);
            return -1;
        }
        if (arg == "--temperature" && i + 1 < argc)
            value = argv[++i];
        else if (arg.compare(0, prefix.size(), prefix) == 0)
            value = argv[i] + prefix.size();
        if (value && parseTemperature(value, options.temperature)) {
            options.fixedTemperature = true;
            continue;
        }
        if (value)
            std::fprintf(stderr, "Core Temp.exe: not a temperature: %s\n", value);
        else if (arg == "--temperature")
            std::fprintf(stderr, "Core Temp.exe: --temperature needs a value\n");
        else
            std::fprintf(stderr, "Core Temp.exe: unknown option: %s\n", arg.c_str());
        printUsage(stderr);
        return 2;
    }
    return 0;
}

/// Waits until `deadline`; true when one of the stop signals came first.
/// They stay blocked all the time and are taken here, so one that came while
/// we were reading ends the wait at once: no handler, and no lost wake-up
/// between a check of a flag and the call that sleeps.
bool stopSignalBefore(Clock::time_point deadline, const sigset_t &stopSignals)
{
    for (;;) {
        const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec timeout{static_cast<time_t>(seconds.count()),
                               static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
        if (sigtimedwait(&stopSignals, nullptr, &timeout) >= 0)
            return true;
        if (errno != EINTR)
            return false; // EAGAIN: the deadline came
        // Woken by another signal (SIGCONT after a stop): wait for the rest.
    }
}

/// Cores with a load and a temperature in `block`: all its packages' cores,
/// within its room (256).
std::size_t blockCores(const CoreTempSharedData &block)
{
    return std::min<std::size_t>(std::size_t{block.uiCPUCnt} * block.uiCoreCnt,
                                 std::size(block.fTemp));
}

/// The block for the machine `topology` describes, within the block's room
/// (128 packages), with each core's load between two readings of /proc/stat.
/// The temperatures are left at 0, for the caller to read into fTemp.
void fillBlock(CoreTempSharedData &block, const CpuTopology &topology,
               const std::vector<CpuTicks> &before, const std::vector<CpuTicks> &after, double mhz)
{
    block = CoreTempSharedData{};
    block.uiCPUCnt = std::min<unsigned int>(topology.packages, std::size(block.uiTjMax));
    block.uiCoreCnt = topology.coresPerPackage;
    std::fill_n(block.uiTjMax, block.uiCPUCnt, kTjMax);
    const std::size_t cores = blockCores(block);
    for (std::size_t i = 0; i < cores; ++i)
        block.uiLoad[i] = coreLoadPercent(before, after, topology.coreCpus[i]);
    block.fCPUSpeed = static_cast<float>(mhz);
    std::strncpy(block.sCPUName, topology.name.c_str(), sizeof block.sCPUName - 1);
}

bool writeBlock(int fd, const CoreTempSharedData &block)
{
    // Readers copy under a read lock. One that keeps it far longer than a copy
    // takes (nobody of ours does) must not stop the readings: write all the
    // same, and readers' check of two equal copies still catches a torn one.
    const bool locked = lockCoreTempBlock(fd, F_WRLCK, 200);
    const char *bytes = reinterpret_cast<const char *>(&block);
    std::size_t written = 0;
    bool whole = true;
    while (written < sizeof block) {
        const ssize_t n = retryOnEintr([&] {
            return pwrite(fd, bytes + written, sizeof block - written, static_cast<off_t>(written));
        });
        if (n <= 0) {
            whole = false;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    if (locked)
        lockCoreTempBlock(fd, F_UNLCK);
    return whole;
}

/// The segment's file: shm_open's names live in /dev/shm on Linux, and the
/// claim below needs link and rename, which shm_open has no word for.
const std::string kSegmentFile = std::string("/dev/shm") + kCoreTempShmPath;

/// How long a claim may wait for another monitor's claim of the same
/// segment, trying again every kClaimPause.
constexpr std::chrono::milliseconds kClaimPatience{2000}, kClaimPause{5};

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/// An open-file-description lock on the byte past the block, retried for a
/// while: starting monitors use it to take turns at replacing the segment.
/// Readers test only flock and lock only the block's bytes, so it never looks
/// like a publisher to them, and they cannot disturb it.
bool takeClaimLock(int fd)
{
    // Beyond the block, so that the claim and the block's own lock (readers'
    // copies, a live publisher's writes) never wait for each other.
    return lockSegmentBytes(fd, F_WRLCK, sizeof(CoreTempSharedData), 1,
                            kClaimPatience / kClaimPause,
                            std::chrono::nanoseconds(kClaimPause).count());
}

/// Makes a fresh segment of our own, locked and cleared, and puts it in place
/// at the public name; returns its descriptor, or -1 after saying why.
///
/// Readers take a segment for live data while it is under an exclusive flock.
/// The new segment is locked and holds a zeroed block (no CPUs: no data)
/// before any reader can see it, so a reader never takes a dead monitor's
/// last block for ours. Whether a publisher lives is asked with a shared
/// flock, which readers' own shared flocks cannot refuse: a reader testing the
/// old segment at that moment cannot make us quit.
int claimSegment()
{
    const std::string fresh = kSegmentFile + ".new." + std::to_string(getpid());
    unlink(fresh.c_str()); // left by a monitor of the same id that was killed here
    const int fd = open(fresh.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "Core Temp.exe: cannot create %s: %s\n", fresh.c_str(),
                     std::strerror(errno));
        return -1;
    }
    // The umask may have taken bits off the mode; readers of any user need 0644.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fchmod(fd, 0644) != 0 ||
        ftruncate(fd, sizeof(CoreTempSharedData)) != 0) {
        std::fprintf(stderr, "Core Temp.exe: cannot prepare %s: %s\n", fresh.c_str(),
                     std::strerror(errno));
        unlink(fresh.c_str());
        close(fd);
        return -1;
    }

    const char *problem = nullptr;
    int why = 0;
    for (int attempt = 0; attempt < 100 && !problem; ++attempt) {
        // Nothing at the public name: ours goes in place unless another
        // monitor's got there first.
        if (link(fresh.c_str(), kSegmentFile.c_str()) == 0) {
            unlink(fresh.c_str());
            return fd;
        }
        if (errno != EEXIST) {
            problem = "cannot publish";
            why = errno;
            break;
        }
        const int old = open(kSegmentFile.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (old < 0) {
            if (errno == ENOENT)
                continue; // removed meanwhile
            problem = "cannot open";
            why = errno;
            break;
        }
        struct stat oldStat
        {
        }, named{};
        if (!takeClaimLock(old)) {
            problem = "cannot lock";
            why = errno;
        } else if (fstat(old, &oldStat) != 0 || stat(kSegmentFile.c_str(), &named) != 0 ||
                   !sameFile(oldStat, named)) {
            // Replaced while we waited for our turn: look again.
        } else if (flock(old, LOCK_SH | LOCK_NB) != 0) {
            close(old);
            unlink(fresh.c_str());
            close(fd);
            std::fprintf(stderr, "Core Temp.exe: another monitor already publishes %s\n",
                         kCoreTempShmPath);
            return -1;
        } else if (rename(fresh.c_str(), kSegmentFile.c_str()) == 0) {
            // The dead monitor's segment is gone from the name; readers that
            // opened it before find it unlocked.
            close(old);
            return fd;
        } else {
            problem = "cannot replace";
            why = errno;
        }
        close(old);
    }
    std::fprintf(stderr, "Core Temp.exe: %s %s: %s\n", problem ? problem : "cannot claim",
                 kCoreTempShmPath, std::strerror(why));
    unlink(fresh.c_str());
    close(fd);
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    const int optionStatus = parseOptions(argc, argv, options);
    if (optionStatus != 0)
        return optionStatus < 0 ? 0 : optionStatus;

    const TemperatureSensor sensor =
        options.fixedTemperature ? TemperatureSensor() : findTemperatureSensor();

    if (options.checkSensor) {
        const TemperatureSensor found = options.fixedTemperature ? findTemperatureSensor() : sensor;
        if (found.found())
            std::printf("CPU temperature sensor: %s\n", found.description.c_str());
        else
            std::printf("No CPU temperature sensor found (looked for hwmon coretemp, k10temp, "
                        "zenpower and the thermal zones x86_pkg_temp, cpu_thermal)\n");
        return found.found() ? 0 : 1;
    }

    if (!options.fixedTemperature && !sensor.found())
        std::fprintf(stderr,
                     "Core Temp.exe: no CPU temperature sensor found (no hwmon coretemp, k10temp "
                     "or zenpower, no thermal zone x86_pkg_temp or cpu_thermal); publishing 0 "
                     "degrees, so no samples are valid. Use --temperature C to publish a fixed "
                     "temperature.\n");

    std::string cpuinfo;
    readTextFile("/proc/cpuinfo", cpuinfo);
    const CpuTopology topology = parseCpuInfo(cpuinfo);

    // Blocked for the whole run: stopSignalBefore takes them while we wait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

    const int fd = claimSegment();
    if (fd < 0)
        return 1;

    // The readers, and two readings of /proc/stat that swap roles each
    // cycle: after the first cycles nothing is allocated.
    ProcStatReader procStat;
    TemperatureReader sensorFiles(sensor);
    CpuClock clock;
    std::vector<CpuTicks> before, after;
    procStat.read(before);
    CoreTempSharedData block;
    // Deadlines a whole interval apart, not an interval after each cycle's
    // work, keep the cadence steady.
    Clock::time_point deadline = Clock::now() + kInitialSample;
    bool reportedWriteFailure = false;
    while (!stopSignalBefore(deadline, stopSignals)) {
        procStat.read(after);
        fillBlock(block, topology, before, after, clock.mhz());
        if (options.fixedTemperature)
            std::fill_n(block.fTemp, blockCores(block), options.temperature);
        else
            sensorFiles.read(block.fTemp, blockCores(block));
        if (!writeBlock(fd, block) && !reportedWriteFailure) {
            std::fprintf(stderr, "Core Temp.exe: cannot write %s: %s\n", kCoreTempShmPath,
                         std::strerror(errno));
            reportedWriteFailure = true;
        }
        std::swap(before, after);
        // Stopped or starved for a while: no burst to catch up.
        deadline = std::max(deadline + kPublishInterval, Clock::now());
    }

    shm_unlink(kCoreTempShmPath);
    close(fd);
    return 0;
}
