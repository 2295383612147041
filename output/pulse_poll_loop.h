#pragma once

#include <pulse/mainloop-api.h>

#include <chrono>
#include <memory>
#include <vector>

// A libpulse main loop on poll(), driven by hand on the calling thread.
//
// libpulse's own pa_mainloop writes a byte to a wake-up pipe whenever an
// event is added or enabled, and reads them back before each poll: about half
// the system calls of one short exchange with the server. A loop that only
// ever runs on the thread that changes its events needs no wake-up at all.
// With an API that is not pa_mainloop's, libpulse gives time events in wall
// clock time (gettimeofday), which is what this loop keeps.
class PulsePollLoop
{
public:
    PulsePollLoop();
    ~PulsePollLoop(); // frees what libpulse left, calling its destroy callbacks
    PulsePollLoop(const PulsePollLoop &) = delete;
    PulsePollLoop &operator=(const PulsePollLoop &) = delete;

    pa_mainloop_api *api() { return &m_api; }

    // One round: the enabled deferred events, then poll() until an fd is
    // ready, a timer is due or `timeout` has passed, then their callbacks.
    // False when poll() failed or something called quit().
    bool iterate(std::chrono::microseconds timeout);

    // Called by the events libpulse frees: they are kept until the round
    // that may still hold them is over.
    void markDead() { m_dead = true; }

private:
    struct Api;
    void collectDead();

    pa_mainloop_api m_api;
    // Pointers to the events stay valid while libpulse holds them, whatever
    // is added meanwhile.
    std::vector<std::unique_ptr<pa_io_event>> m_io;
    std::vector<std::unique_ptr<pa_time_event>> m_time;
    std::vector<std::unique_ptr<pa_defer_event>> m_defer;
    bool m_quit = false;
    bool m_dead = false; // an event was freed and waits to be collected
};
