#include "concurrency/sync_objects.h"

#include <algorithm>
#include <chrono>

namespace {

template <typename Pred>
bool WaitUntilReady(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                    uint32_t timeoutMs, Pred ready) {
    if (timeoutMs == SYNC_INFINITE) {
        cv.wait(lock, ready);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

}  // namespace

bool CMutexObject::Lock(uint32_t timeoutMs) {
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(m_state);
    if (m_count > 0 && m_owner == self) {
        ++m_count;
        return true;
    }
    if (!WaitUntilReady(m_released, lock, timeoutMs, [this] { return m_count == 0; })) return false;
    m_owner = self;
    m_count = 1;
    return true;
}

bool CMutexObject::Unlock() {
    std::lock_guard lock(m_state);
    if (m_count == 0 || m_owner != std::this_thread::get_id()) return false;
    if (--m_count == 0) {
        m_owner = {};
        m_released.notify_one();
    }
    return true;
}

CSemaphoreObject::CSemaphoreObject(uint32_t initialCount, uint32_t maximumCount)
    : m_count(std::min(initialCount, maximumCount)), m_maximum(maximumCount) {}

bool CSemaphoreObject::Lock(uint32_t timeoutMs) {
    std::unique_lock lock(m_state);
    if (!WaitUntilReady(m_available, lock, timeoutMs, [this] { return m_count > 0; })) return false;
    --m_count;
    return true;
}

bool CSemaphoreObject::Unlock() {
    std::lock_guard lock(m_state);
    if (m_count >= m_maximum) return false;
    ++m_count;
    m_available.notify_one();
    return true;
}
