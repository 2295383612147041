#include "grab_pc_data.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "output_record.h"
#include "reader_gone.h"
#include "system_volume.h"

QHardwareDataObj *ObjectRegistry::sampler = nullptr;
QWeatherClient *ObjectRegistry::weatherClient = nullptr;

namespace {

/// Waiting records: a few seconds' worth, a few kilobytes.
constexpr std::size_t kQueuedRecords = 16;
/// How long the writer waits for a record before it asks whether anybody
/// still reads: a grab without Core Temp writes nothing, yet must not outlive
/// its reader by more than this.
constexpr std::chrono::milliseconds kReaderCheckInterval(1000);

/// Nobody reads us any more, so leave at once and without a word: _Exit skips
/// the static destructors that would race the running threads.
[[noreturn]] void quitForGoneReader()
{
    std::_Exit(EXIT_FAILURE);
}

void writeToStdoutOrQuit(const QByteArray &line)
{
    // The reader has gone. SIGPIPE may not end us first: it can be ignored
    // (docs/DESIGN.md, "a failed write or flush ends grab mode").
    if (!writeRecordLine(stdout, line))
        quitForGoneReader();
}

/// The writer thread: writes each record as it comes; while none comes, looks
/// once a second, without writing, whether the reader has closed the pipe
/// (docs/DESIGN.md, "a grab with nothing to write ends"). A writer blocked
/// in a write to a full pipe asks nothing: a slow reader is not a gone one.
[[noreturn]] void writeRecordsToStdout(RecordQueue *queue)
{
    // Asked once at the start as well: where the pipe cannot be asked on
    // Windows, this is when the process that started us is looked for.
    if (stdoutReaderGone())
        quitForGoneReader();
    for (;;) {
        QByteArray line;
        if (queue->popFor(&line, kReaderCheckInterval))
            writeToStdoutOrQuit(line);
        else if (stdoutReaderGone())
            quitForGoneReader();
    }
}

/// The queue of records for standard output and its writer thread, started
/// on the first call.
RecordQueue &stdoutQueue()
{
    // Never destroyed, like the threads of grab mode.
    static RecordQueue *const queue = [] {
        auto *q = new RecordQueue(kQueuedRecords);
        std::thread(writeRecordsToStdout, q).detach();
        return q;
    }();
    return *queue;
}

/// Queues a record for the writer thread. The record already carries the
/// time of its sample: a reader that stalls delays its arrival, never its
/// stamp, and never the main thread.
void queueForStdout(const QByteArray &line)
{
    stdoutQueue().push(line);
}

/// The program's own hooks, with the writer thread already running: started
/// at the first record it would wait for the weather thread, which is then
/// loading libcurl, since no thread is created while another loads a library.
GrabHooks startedSystemHooks()
{
    stdoutQueue();
    return GrabHooks::system();
}

} // namespace

bool RecordQueue::push(const QByteArray &line)
{
    bool kept = true;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_capacity == 0)
            return false;
        if (m_lines.size() >= m_capacity) {
            m_lines.pop_front();
            kept = false;
        }
        m_lines.push_back(line);
    }
    m_ready.notify_one();
    return kept;
}

bool RecordQueue::popFor(QByteArray *line, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_ready.wait_for(lock, timeout, [this] { return !m_lines.empty(); }))
        return false;
    *line = m_lines.front();
    m_lines.pop_front();
    return true;
}

std::size_t RecordQueue::size() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines.size();
}

GrabHooks GrabHooks::system()
{
    GrabHooks hooks;
    hooks.clock = [] { return QDateTime::currentDateTime(); };
    hooks.readVolume = [] { return readSystemVolume(); };
    hooks.writeLine = queueForStdout;
    hooks.samplerHooks = SamplerHooks::system();
    return hooks;
}

QGrabPcData::QGrabPcData(QObject *parent) : QGrabPcData(startedSystemHooks(), parent) {}

QGrabPcData::QGrabPcData(GrabHooks hooks, QObject *parent)
    : QObject(parent), m_hooks(std::move(hooks))
{
    // The weather cache starts at 25 and 60 (member initialisers).
    if (!ObjectRegistry::sampler)
        ObjectRegistry::sampler = new QHardwareDataObj(m_hooks.samplerHooks);
    connect(ObjectRegistry::sampler, SIGNAL(CPU_Param(float, float, float)), this,
            SLOT(on_CPU_Param(float, float, float)));
    // The sampler runs even when Core Temp is absent: nothing is printed
    // until a Core Temp that starts later publishes its block.
    ObjectRegistry::sampler->startSampler();

    if (!ObjectRegistry::weatherClient)
        ObjectRegistry::weatherClient = new QWeatherClient(
            QString(), QString::fromLatin1(kWeatherApiKey), this, m_hooks.weatherHooks);
    // A later aggregator meets a client whose thread runs and emits.
    const auto hold = ObjectRegistry::weatherClient->holdOutcomes();
    connect(ObjectRegistry::weatherClient, SIGNAL(weatherUpdated(float, uchar)), this,
            SLOT(on_weatherUpdated(float, uchar)));
    connect(ObjectRegistry::weatherClient, SIGNAL(errorOccurred(QString)), this,
            SLOT(on_errorOccurred(QString)));
}

QGrabPcData::~QGrabPcData()
{
    // The program never gets here. Should an aggregator die, the weather
    // client it created must neither be deleted under its running thread nor
    // leave the registry pointing at freed memory: it outlives us unparented,
    // like the sampler.
    if (!ObjectRegistry::weatherClient)
        return;
    if (ObjectRegistry::weatherClient->parent() == this)
        ObjectRegistry::weatherClient->setParent(nullptr);
    const auto hold = ObjectRegistry::weatherClient->holdOutcomes();
    disconnect(ObjectRegistry::weatherClient, nullptr, this, nullptr);
}

void QGrabPcData::on_CPU_Param(float Load, float Temperature, float mem_usge)
{
    printRecord(Load, Temperature, mem_usge);
}

void QGrabPcData::on_weatherUpdated(float temperature, uchar descriptionId)
{
    // The client reports only finite temperatures; should one slip through,
    // the last good weather stays.
    if (!std::isfinite(temperature))
        return;
    cachedTemperature = truncateToInt(temperature);
    cachedDescriptionId = descriptionId;
}

void QGrabPcData::on_errorOccurred(QString error)
{
    // The records keep the last weather received.
    Q_UNUSED(error);
}

void QGrabPcData::printRecord(float load, float temperature, float memoryUsage)
{
    // One clock reading for all seven date and time fields, so a record taken
    // across midnight never mixes two days.
    const QDateTime now = m_hooks.clock();
    RecordValues values;
    values.load = load;
    values.temperature = temperature;
    values.memoryUsage = memoryUsage;
    values.weatherTemperature = cachedTemperature;
    values.weatherDescriptionId = cachedDescriptionId;
    values.systemVolume = m_hooks.readVolume();
    m_hooks.writeLine(buildRecordLine(now, values));
}
