#include "system_volume.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <mutex>

// Linux: the default sink's volume through libpulse (PipeWire's pulse server
// speaks the same protocol), on one connection kept for the process
// (docs/DESIGN.md, the "Linux volume" rows). libpulse's own main loop runs
// only inside the call, on the calling thread, so nothing runs behind the
// caller's back and a deadline bounds the whole call.

namespace {

using Clock = std::chrono::steady_clock;

// A record is due every second; a hung sound server must not hold it back.
constexpr std::chrono::milliseconds kBudget{500};

// The scalar of the whole percent every PulseAudio mixer shows for `volume`.
// The server keeps 1/65536 steps, so 30 % is stored as 19660 (29.998 %);
// pa_volume_snprint rounds that to the nearest percent, and so do we. The
// float is the smallest one not below percent / 100 (0.7f itself lies just
// under 0.7), so the caller's truncation of scalar * 100 gives the percent.
float scalarFromVolume(pa_volume_t volume)
{
    uint64_t percent = (static_cast<uint64_t>(volume) * 100 + PA_VOLUME_NORM / 2) / PA_VOLUME_NORM;
    // Above 100 % the server amplifies in software; the reader expects 0..100.
    if (percent > 100)
        percent = 100;
    float scalar = static_cast<float>(percent) / 100.0f;
    if (static_cast<double>(scalar) * 100.0 < static_cast<double>(percent))
        scalar = std::nextafter(scalar, 2.0f);
    return scalar;
}

struct Query
{
    bool done = false;
    bool ok = false;
    float scalar = 0.0f;
};

void onSinkInfo(pa_context *, const pa_sink_info *info, int eol, void *userdata)
{
    auto *query = static_cast<Query *>(userdata);
    if (query->done)
        return;
    query->done = true;
    // eol < 0: the server has no such sink. A sink with no channels or an
    // out-of-range volume has no level to show.
    if (eol >= 0 && info && pa_cvolume_valid(&info->volume)) {
        query->scalar = scalarFromVolume(pa_cvolume_max(&info->volume));
        query->ok = true;
    }
}

// The kept connection. Nothing tears it down: grab mode ends only when
// killed, and what is left at exit stays reachable from here.
class Connection
{
public:
    double read();

private:
    bool iterate(Clock::time_point deadline);
    bool connect(Clock::time_point deadline);
    bool ask(Query &query, Clock::time_point deadline);
    void drop();

    std::mutex m_mutex; // callers on several threads take turns
    pa_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
};

// One round of the loop, its wait cut at `deadline`. False once the deadline
// has passed or when polling failed.
bool Connection::iterate(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return left > 0 && pa_mainloop_prepare(m_loop, static_cast<int>(left)) >= 0 &&
           pa_mainloop_poll(m_loop) >= 0 && pa_mainloop_dispatch(m_loop) >= 0;
}

bool Connection::connect(Clock::time_point deadline)
{
    // Shared memory only pays for audio streams. For small replies it would
    // cost a shared 64 MiB pool (a memfd), the server's pools mapped into
    // ours and a shared ring buffer.
    pa_proplist *properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "pcreport");
    pa_proplist_sets(properties, PA_PROP_CONTEXT_FORCE_DISABLE_SHM, "yes");
    m_context = pa_context_new_with_proplist(pa_mainloop_get_api(m_loop), nullptr, properties);
    pa_proplist_free(properties);
    // NOAUTOSPAWN: reading the volume must never start a sound server. A
    // null server means libpulse's own rules (PULSE_SERVER, the runtime
    // directory, the system socket).
    if (!m_context || pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return false;
    for (;;) {
        switch (pa_context_get_state(m_context)) {
        case PA_CONTEXT_READY:
            return true;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            return false;
        default: // still connecting; cut off at the deadline like any wait
            if (!iterate(deadline))
                return false;
        }
    }
}

// One round trip: the server resolves the name to its default sink. True
// when it answered, whatever the answer, on a connection still usable.
bool Connection::ask(Query &query, Clock::time_point deadline)
{
    if (pa_context_get_state(m_context) != PA_CONTEXT_READY)
        return false;
    pa_operation *operation =
        pa_context_get_sink_info_by_name(m_context, "@DEFAULT_SINK@", onSinkInfo, &query);
    if (!operation)
        return false;
    while (!query.done && pa_context_get_state(m_context) == PA_CONTEXT_READY && iterate(deadline))
        ;
    // A late answer must not reach `query` once the caller has returned.
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
        pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return query.done && pa_context_get_state(m_context) == PA_CONTEXT_READY;
}

void Connection::drop()
{
    if (!m_context)
        return;
    pa_context_disconnect(m_context);
    pa_context_unref(m_context);
    m_context = nullptr;
}

double Connection::read()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const Clock::time_point deadline = Clock::now() + kBudget;
    if (!m_loop && !(m_loop = pa_mainloop_new()))
        return -1.0;
    // A kept connection can have died since the last call (the server was
    // restarted, our client kicked); it fails at once, and one fresh
    // connection is tried with what is left of the budget. A fresh one that
    // fails waits for the next call.
    for (bool kept = m_context != nullptr;; kept = false) {
        Query query;
        if ((m_context || connect(deadline)) && ask(query, deadline))
            return query.ok ? static_cast<double>(query.scalar) * 100.0 : -1.0;
        drop();
        if (!kept || Clock::now() >= deadline)
            return -1.0;
    }
}

} // namespace

double readSystemVolume()
{
    static Connection connection;
    return connection.read();
}
