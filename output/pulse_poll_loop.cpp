#include "pulse_poll_loop.h"

#include "app/retry_on_eintr.h"

#include <poll.h>
#include <sys/time.h>

#include <algorithm>
#include <climits>

// The event types libpulse declares and leaves to each main loop to define.
struct pa_io_event
{
    PulsePollLoop *loop;
    int fd;
    pa_io_event_flags_t events;
    pa_io_event_cb_t callback;
    void *userdata;
    pa_io_event_destroy_cb_t destroy = nullptr;
    bool dead = false;
};

struct pa_time_event
{
    PulsePollLoop *loop;
    bool enabled;
    timeval when;
    pa_time_event_cb_t callback;
    void *userdata;
    pa_time_event_destroy_cb_t destroy = nullptr;
    bool dead = false;
};

struct pa_defer_event
{
    PulsePollLoop *loop;
    bool enabled;
    pa_defer_event_cb_t callback;
    void *userdata;
    pa_defer_event_destroy_cb_t destroy = nullptr;
    bool dead = false;
};

namespace {

short toPoll(pa_io_event_flags_t flags)
{
    return static_cast<short>(
        ((flags & PA_IO_EVENT_INPUT) ? POLLIN : 0) | ((flags & PA_IO_EVENT_OUTPUT) ? POLLOUT : 0) |
        ((flags & PA_IO_EVENT_HANGUP) ? POLLHUP : 0) | ((flags & PA_IO_EVENT_ERROR) ? POLLERR : 0));
}

pa_io_event_flags_t fromPoll(short revents)
{
    return static_cast<pa_io_event_flags_t>(((revents & POLLIN) ? PA_IO_EVENT_INPUT : 0) |
                                            ((revents & POLLOUT) ? PA_IO_EVENT_OUTPUT : 0) |
                                            ((revents & POLLHUP) ? PA_IO_EVENT_HANGUP : 0) |
                                            ((revents & POLLERR) ? PA_IO_EVENT_ERROR : 0));
}

long long microseconds(const timeval &tv)
{
    return static_cast<long long>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

long long wallClockNow()
{
    timeval now;
    gettimeofday(&now, nullptr);
    return microseconds(now);
}

template <typename Event>
void destroyAll(std::vector<std::unique_ptr<Event>> &events, pa_mainloop_api *api)
{
    for (auto &event : events)
        if (event->destroy)
            event->destroy(api, event.get(), event->userdata);
    events.clear();
}

template <typename Event>
void collect(std::vector<std::unique_ptr<Event>> &events, pa_mainloop_api *api)
{
    // Destroy callbacks may free further events; those are only marked.
    for (std::size_t i = 0; i < events.size(); ++i) {
        Event *event = events[i].get();
        if (event->dead && event->destroy) {
            event->destroy(api, event, event->userdata);
            event->destroy = nullptr;
        }
    }
    events.erase(std::remove_if(events.begin(), events.end(),
                                [](const std::unique_ptr<Event> &event) { return event->dead; }),
                 events.end());
}

} // namespace

// The table libpulse calls through; each entry finds the loop in the API's
// userdata or in the event.
struct PulsePollLoop::Api
{
    static PulsePollLoop *loopOf(pa_mainloop_api *api)
    {
        return static_cast<PulsePollLoop *>(api->userdata);
    }

    static pa_io_event *ioNew(pa_mainloop_api *api, int fd, pa_io_event_flags_t events,
                              pa_io_event_cb_t callback, void *userdata)
    {
        PulsePollLoop *loop = loopOf(api);
        loop->m_io.push_back(
            std::unique_ptr<pa_io_event>(new pa_io_event{loop, fd, events, callback, userdata}));
        return loop->m_io.back().get();
    }
    static void ioEnable(pa_io_event *event, pa_io_event_flags_t events) { event->events = events; }
    static void ioFree(pa_io_event *event)
    {
        event->dead = true;
        event->loop->markDead();
    }
    static void ioSetDestroy(pa_io_event *event, pa_io_event_destroy_cb_t destroy)
    {
        event->destroy = destroy;
    }

    static pa_time_event *timeNew(pa_mainloop_api *api, const timeval *when,
                                  pa_time_event_cb_t callback, void *userdata)
    {
        PulsePollLoop *loop = loopOf(api);
        loop->m_time.push_back(std::unique_ptr<pa_time_event>(new pa_time_event{
            loop, when != nullptr, when ? *when : timeval{}, callback, userdata}));
        return loop->m_time.back().get();
    }
    static void timeRestart(pa_time_event *event, const timeval *when)
    {
        event->enabled = when != nullptr;
        if (when)
            event->when = *when;
    }
    static void timeFree(pa_time_event *event)
    {
        event->dead = true;
        event->loop->markDead();
    }
    static void timeSetDestroy(pa_time_event *event, pa_time_event_destroy_cb_t destroy)
    {
        event->destroy = destroy;
    }

    static pa_defer_event *deferNew(pa_mainloop_api *api, pa_defer_event_cb_t callback,
                                    void *userdata)
    {
        PulsePollLoop *loop = loopOf(api);
        loop->m_defer.push_back(
            std::unique_ptr<pa_defer_event>(new pa_defer_event{loop, true, callback, userdata}));
        return loop->m_defer.back().get();
    }
    static void deferEnable(pa_defer_event *event, int enable) { event->enabled = enable != 0; }
    static void deferFree(pa_defer_event *event)
    {
        event->dead = true;
        event->loop->markDead();
    }
    static void deferSetDestroy(pa_defer_event *event, pa_defer_event_destroy_cb_t destroy)
    {
        event->destroy = destroy;
    }

    static void quit(pa_mainloop_api *api, int) { loopOf(api)->m_quit = true; }
};

PulsePollLoop::PulsePollLoop()
    : m_api{this,
            Api::ioNew,
            Api::ioEnable,
            Api::ioFree,
            Api::ioSetDestroy,
            Api::timeNew,
            Api::timeRestart,
            Api::timeFree,
            Api::timeSetDestroy,
            Api::deferNew,
            Api::deferEnable,
            Api::deferFree,
            Api::deferSetDestroy,
            Api::quit}
{
}

PulsePollLoop::~PulsePollLoop()
{
    collectDead();
    destroyAll(m_io, &m_api);
    destroyAll(m_time, &m_api);
    destroyAll(m_defer, &m_api);
}

void PulsePollLoop::collectDead()
{
    while (m_dead) {
        m_dead = false;
        collect(m_io, &m_api);
        collect(m_time, &m_api);
        collect(m_defer, &m_api);
    }
}

bool PulsePollLoop::iterate(std::chrono::microseconds timeout)
{
    if (m_quit)
        return false;

    // Deferred work first; while any stays enabled, poll() only looks.
    bool deferred = false;
    for (std::size_t i = 0; i < m_defer.size() && !m_quit; ++i) {
        pa_defer_event *event = m_defer[i].get();
        if (!event->dead && event->enabled) {
            event->callback(&m_api, event, event->userdata);
            deferred = true;
        }
    }
    collectDead();
    for (const auto &event : m_defer)
        deferred = deferred || (!event->dead && event->enabled);

    long long wait = std::max<long long>(timeout.count(), 0);
    const long long now = wallClockNow();
    for (const auto &event : m_time)
        if (!event->dead && event->enabled)
            wait = std::min(wait, std::max(microseconds(event->when) - now, 0LL));
    if (deferred)
        wait = 0;

    std::vector<pollfd> fds;
    std::vector<pa_io_event *> polled;
    fds.reserve(m_io.size());
    polled.reserve(m_io.size());
    for (const auto &event : m_io) {
        if (event->dead)
            continue;
        fds.push_back(pollfd{event->fd, toPoll(event->events), 0});
        polled.push_back(event.get());
    }
    // Rounded up, so a timer is never found not yet due when poll() returns.
    const int waitMs = static_cast<int>(std::min<long long>((wait + 999) / 1000, INT_MAX));
    const int ready = retryOnEintr([&] { return ::poll(fds.data(), fds.size(), waitMs); });
    if (ready < 0)
        return false;

    const long long after = wallClockNow();
    for (std::size_t i = 0; i < m_time.size() && !m_quit; ++i) {
        pa_time_event *event = m_time[i].get();
        if (event->dead || !event->enabled || microseconds(event->when) > after)
            continue;
        event->enabled = false; // a timer fires once unless restarted
        event->callback(&m_api, event, &event->when, event->userdata);
    }
    for (std::size_t i = 0; i < fds.size() && !m_quit; ++i) {
        pa_io_event *event = polled[i];
        if (event->dead || fds[i].revents == 0)
            continue;
        event->callback(&m_api, event, event->fd, fromPoll(fds[i].revents), event->userdata);
    }
    collectDead();
    return !m_quit;
}
