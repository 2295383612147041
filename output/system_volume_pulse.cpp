#include "system_volume.h"

#include "pulse_poll_loop.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cmath>
#include <cstdint>

// Linux: the default sink's volume through libpulse (PipeWire's pulse server
// speaks the same protocol). A private, hand-driven main loop keeps the whole
// exchange on the calling thread and lets us stop at a deadline.

namespace {

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

void finish(Query *query, bool ok)
{
    query->done = true;
    query->ok = ok;
}

void onSinkInfo(pa_context *, const pa_sink_info *info, int eol, void *userdata)
{
    auto *query = static_cast<Query *>(userdata);
    if (query->done)
        return;
    if (eol < 0) { // no default sink
        finish(query, false);
        return;
    }
    if (info) {
        // A sink with no channels or an out-of-range volume has no level to show.
        if (!pa_cvolume_valid(&info->volume)) {
            finish(query, false);
            return;
        }
        query->scalar = scalarFromVolume(pa_cvolume_max(&info->volume));
        finish(query, true);
        return;
    }
    finish(query, false); // end of list without an entry
}

void onContextState(pa_context *context, void *userdata)
{
    auto *query = static_cast<Query *>(userdata);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
        // The server resolves the name to its default sink: one round trip
        // instead of asking for the server info first.
        pa_operation *op =
            pa_context_get_sink_info_by_name(context, "@DEFAULT_SINK@", onSinkInfo, query);
        if (!op) {
            finish(query, false);
            return;
        }
        pa_operation_unref(op);
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        finish(query, false);
        break;
    default:
        break;
    }
}

bool runUntilDone(PulsePollLoop &loop, const Query &query)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + kBudget;
    while (!query.done) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !loop.iterate(left))
            return false;
    }
    return true;
}

} // namespace

double readSystemVolume()
{
    PulsePollLoop loop;
    Query query;
    // Shared memory only pays for audio streams. For two small replies it
    // would cost a 64 MiB memory pool per connection, the server's pools
    // mapped into ours and a shared ring buffer, all torn down again.
    pa_proplist *properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "pcreport");
    pa_proplist_sets(properties, PA_PROP_CONTEXT_FORCE_DISABLE_SHM, "yes");
    pa_context *context = pa_context_new_with_proplist(loop.api(), nullptr, properties);
    pa_proplist_free(properties);
    if (context) {
        pa_context_set_state_callback(context, onContextState, &query);
        // NOAUTOSPAWN: reading the volume must never start a sound server.
        // A null server means libpulse's own rules (PULSE_SERVER, the runtime
        // directory, the system socket).
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
            runUntilDone(loop, query);
            // Callbacks may still be pending; they must not touch `query`
            // once we return.
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
        }
        pa_context_unref(context);
    }
    return query.done && query.ok ? static_cast<double>(query.scalar) * 100.0 : -1.0;
}
