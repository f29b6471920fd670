#include "concurrency/sync_objects.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

using namespace std::chrono_literals;

namespace {

// Runs fn on another thread and returns its result.
template <typename Fn>
auto OnOtherThread(Fn fn) {
    return std::async(std::launch::async, fn).get();
}

}  // namespace

TEST(MutexObjectTest, IsRecursiveAndHeldUntilEveryLockIsUndone) {
    CMutexObject mutex;
    ASSERT_TRUE(mutex.Lock(SYNC_INFINITE));
    ASSERT_TRUE(mutex.Lock(0));
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_FALSE(OnOtherThread([&] { return mutex.Lock(0); }));
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_FALSE(mutex.Unlock());  // not held any more
    EXPECT_TRUE(OnOtherThread([&] { return mutex.Lock(0) && mutex.Unlock(); }));
}

TEST(MutexObjectTest, UnlockByNonOwnerFailsAndKeepsTheOwner) {
    CMutexObject mutex;
    ASSERT_TRUE(mutex.Lock(SYNC_INFINITE));
    EXPECT_FALSE(OnOtherThread([&] { return mutex.Unlock(); }));
    EXPECT_FALSE(OnOtherThread([&] { return mutex.Lock(0); }));
    EXPECT_TRUE(mutex.Unlock());
}

TEST(MutexObjectTest, TimedLockFailsAfterItsTimeoutWhileAnotherThreadOwnsIt) {
    CMutexObject mutex;
    ASSERT_TRUE(mutex.Lock(SYNC_INFINITE));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(OnOtherThread([&] { return mutex.Lock(30); }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    mutex.Unlock();
}

TEST(MutexObjectTest, WaiterAcquiresWhenTheOwnerReleases) {
    CMutexObject mutex;
    ASSERT_TRUE(mutex.Lock(SYNC_INFINITE));
    auto waiter = std::async(std::launch::async, [&] { return mutex.Lock(SYNC_INFINITE); });
    EXPECT_EQ(waiter.wait_for(20ms), std::future_status::timeout);
    mutex.Unlock();
    EXPECT_TRUE(waiter.get());
    EXPECT_FALSE(mutex.Lock(0));  // the waiter's thread owns it now
}

TEST(SemaphoreObjectTest, CountsUpToItsMaximum) {
    CSemaphoreObject semaphore(1, 2);
    EXPECT_TRUE(semaphore.Lock(0));
    EXPECT_FALSE(semaphore.Lock(10));
    EXPECT_TRUE(semaphore.Unlock());
    EXPECT_TRUE(semaphore.Unlock());
    EXPECT_FALSE(semaphore.Unlock());  // beyond the maximum
    EXPECT_TRUE(semaphore.Lock(0));
    EXPECT_TRUE(semaphore.Lock(0));
    EXPECT_FALSE(semaphore.Lock(0));
}

TEST(SemaphoreObjectTest, UnlockFromAnotherThreadWakesAWaiter) {
    CSemaphoreObject semaphore(0, 10);
    auto waiter = std::async(std::launch::async, [&] { return semaphore.Lock(SYNC_INFINITE); });
    EXPECT_EQ(waiter.wait_for(20ms), std::future_status::timeout);
    semaphore.Unlock();
    EXPECT_TRUE(waiter.get());
}

TEST(AccessRightTest, ReleasesOnlyWhatItAcquired) {
    CSemaphoreObject semaphore(1, 5);
    {
        CAccessRight first(semaphore, 0);
        EXPECT_TRUE(first.IsLocked());
        CAccessRight second(semaphore, 0);
        EXPECT_FALSE(second.IsLocked());
    }
    // One count back, not two.
    EXPECT_TRUE(semaphore.Lock(0));
    EXPECT_FALSE(semaphore.Lock(0));

    CMutexObject mutex;
    { CAccessRight scope(mutex, SYNC_INFINITE); }
    EXPECT_TRUE(OnOtherThread([&] { return mutex.Lock(0) && mutex.Unlock(); }));
}
