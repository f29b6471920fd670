// A one-shot watchdog on a thread of its own: armed before a blocking call and disarmed after
// it; if the period passes first, the observers are notified on the timer thread so that they
// can abort the call.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "concurrency/observer.h"

class CTimerThread : public CObservable {
public:
    // Starts the timer thread, idle. Register the observers before the first Arm.
    CTimerThread();
    // Shutdown first.
    ~CTimerThread() override;
    CTimerThread(const CTimerThread&) = delete;
    CTimerThread& operator=(const CTimerThread&) = delete;

    // Watches the next periodMs milliseconds for the calling thread, which then owns the
    // watchdog until its Disarm; arming again before that restarts the watch. Each Arm notifies
    // at most once. Returns false, without arming, when another thread still owns the watchdog
    // after 100 ms, or after Shutdown.
    bool Arm(uint32_t periodMs);
    // Ends the watch of the owning thread (others change nothing) and returns only when no
    // notification is running, so nothing fires after it. Not to be called from Update.
    void Disarm();
    // Ends the watch without a notification and ends the thread; waits for a running
    // notification. Not to be called from Update.
    void Shutdown();

private:
    void Run();

    std::mutex m_state;
    std::condition_variable m_changed;  // for the timer thread: armed, disarmed, re-armed, quit
    std::condition_variable m_idle;     // for callers: owner released or notification over
    std::thread::id m_owner;            // the arming thread, until it disarms
    bool m_pending = false;             // armed and not yet fired
    bool m_notifying = false;
    bool m_quit = false;
    uint64_t m_generation = 0;  // tells a re-arm apart from the watch in progress
    std::chrono::steady_clock::time_point m_deadline;
    std::thread m_thread;
};
