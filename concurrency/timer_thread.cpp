#include "concurrency/timer_thread.h"

CTimerThread::CTimerThread() : m_thread(&CTimerThread::Run, this) {}

CTimerThread::~CTimerThread() {
    Shutdown();
}

bool CTimerThread::Arm(uint32_t periodMs) {
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(m_state);
    const bool free = m_idle.wait_for(lock, std::chrono::milliseconds(100), [&] {
        return m_quit || m_owner == std::thread::id() || m_owner == self;
    });
    if (!free || m_quit) return false;
    m_owner = self;
    m_pending = true;
    ++m_generation;
    m_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(periodMs);
    m_changed.notify_one();
    return true;
}

void CTimerThread::Disarm() {
    std::unique_lock lock(m_state);
    if (m_owner == std::this_thread::get_id()) {
        m_owner = {};
        m_pending = false;
        m_changed.notify_one();
        m_idle.notify_all();
    }
    m_idle.wait(lock, [this] { return !m_notifying; });
}

void CTimerThread::Shutdown() {
    {
        std::unique_lock lock(m_state);
        m_quit = true;
        m_pending = false;
        m_owner = {};
        m_changed.notify_one();
        m_idle.notify_all();
        m_idle.wait(lock, [this] { return !m_notifying; });
    }
    if (m_thread.joinable()) m_thread.join();
}

void CTimerThread::Run() {
    std::unique_lock lock(m_state);
    for (;;) {
        m_changed.wait(lock, [this] { return m_quit || m_pending; });
        if (m_quit) return;
        const uint64_t generation = m_generation;
        const bool cut = m_changed.wait_until(
            lock, m_deadline, [&] { return m_quit || !m_pending || m_generation != generation; });
        if (cut) continue;
        // The period passed while still armed: fire once, outside the lock so that Update may
        // abort the owner's blocking call, which then disarms.
        m_pending = false;
        m_notifying = true;
        lock.unlock();
        NotifyNoThrow();
        lock.lock();
        m_notifying = false;
        m_idle.notify_all();
    }
}
