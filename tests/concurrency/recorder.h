// An observer that records each notification and lets a test wait for them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "concurrency/observer.h"

struct Notification {
    CObservable* source;
    std::thread::id thread;
};

class Recorder : public CObserver {
public:
    void Update(CObservable* source) override {
        std::lock_guard lock(m_mutex);
        m_seen.push_back({source, std::this_thread::get_id()});
        m_changed.notify_all();
    }
    // Waits until at least count notifications have arrived; false after the limit.
    bool WaitFor(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return m_seen.size() >= count; });
    }
    std::vector<Notification> Seen() {
        std::lock_guard lock(m_mutex);
        return m_seen;
    }
    size_t Count() {
        std::lock_guard lock(m_mutex);
        return m_seen.size();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Notification> m_seen;
};
