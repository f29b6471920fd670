// Lock wrappers with the semantics of Win32 mutexes and semaphores, and the scoped lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// Timeout that waits without limit.
constexpr uint32_t SYNC_INFINITE = 0xFFFFFFFF;

class CSyncObjectInterface {
public:
    virtual ~CSyncObjectInterface() = default;
    // Acquires the object within timeoutMs (SYNC_INFINITE: no limit); false on time-out.
    virtual bool Lock(uint32_t timeoutMs) = 0;
    // Releases the object; false when the caller may not release it, which changes nothing.
    virtual bool Unlock() = 0;
};

// Recursive and owned by the thread that locked it: only the owner can unlock it, once per Lock.
class CMutexObject : public CSyncObjectInterface {
public:
    CMutexObject() = default;
    CMutexObject(const CMutexObject&) = delete;
    CMutexObject& operator=(const CMutexObject&) = delete;

    bool Lock(uint32_t timeoutMs) override;
    bool Unlock() override;

private:
    std::mutex m_state;
    std::condition_variable m_released;
    std::thread::id m_owner;
    uint64_t m_count = 0;
};

// Counted: Lock takes one count, Unlock adds one up to the maximum (beyond it Unlock fails).
class CSemaphoreObject : public CSyncObjectInterface {
public:
    CSemaphoreObject(uint32_t initialCount, uint32_t maximumCount);
    CSemaphoreObject(const CSemaphoreObject&) = delete;
    CSemaphoreObject& operator=(const CSemaphoreObject&) = delete;

    bool Lock(uint32_t timeoutMs) override;
    bool Unlock() override;

private:
    std::mutex m_state;
    std::condition_variable m_available;
    uint32_t m_count;
    const uint32_t m_maximum;
};

// Holds a sync object for its scope. Releases it only if the Lock succeeded, so a timed-out
// scope never releases a count or a mutex level that it did not take.
class CAccessRight {
public:
    CAccessRight(CSyncObjectInterface& object, uint32_t timeoutMs)
        : m_object(object), m_locked(object.Lock(timeoutMs)) {}
    virtual ~CAccessRight() {
        if (m_locked) m_object.Unlock();
    }
    CAccessRight(const CAccessRight&) = delete;
    CAccessRight& operator=(const CAccessRight&) = delete;

    bool IsLocked() const { return m_locked; }

private:
    CSyncObjectInterface& m_object;
    const bool m_locked;
};
