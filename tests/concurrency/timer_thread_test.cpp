#include "concurrency/timer_thread.h"

#include <gtest/gtest.h>

#include <future>

#include "recorder.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class TimerThreadTest : public ::testing::Test {
protected:
    TimerThreadTest() { m_timer.AddObserver(&m_recorder); }

    Recorder m_recorder;
    CTimerThread m_timer;
};

TEST_F(TimerThreadTest, DisarmBeforeThePeriodGivesNoNotification) {
    ASSERT_TRUE(m_timer.Arm(60000));
    const auto start = Clock::now();
    m_timer.Disarm();
    EXPECT_LT(Clock::now() - start, 1s);
    ASSERT_TRUE(m_timer.Arm(20));
    m_timer.Disarm();
    EXPECT_FALSE(m_recorder.WaitFor(1, 50ms));
}

TEST_F(TimerThreadTest, PeriodPassingNotifiesOnceOnTheTimerThread) {
    const auto start = Clock::now();
    ASSERT_TRUE(m_timer.Arm(20));
    ASSERT_TRUE(m_recorder.WaitFor(1));
    EXPECT_GE(Clock::now() - start, 20ms);
    EXPECT_FALSE(m_recorder.WaitFor(2, 50ms));  // one-shot
    m_timer.Disarm();
    const auto seen = m_recorder.Seen();
    EXPECT_EQ(seen[0].source, static_cast<CObservable*>(&m_timer));
    EXPECT_NE(dynamic_cast<CTimerThread*>(seen[0].source), nullptr);
    EXPECT_NE(seen[0].thread, std::this_thread::get_id());
}

TEST_F(TimerThreadTest, ConsecutiveArmsFireIndependently) {
    ASSERT_TRUE(m_timer.Arm(10));
    ASSERT_TRUE(m_recorder.WaitFor(1));
    m_timer.Disarm();
    ASSERT_TRUE(m_timer.Arm(60000));
    m_timer.Disarm();
    ASSERT_TRUE(m_timer.Arm(10));
    ASSERT_TRUE(m_recorder.WaitFor(2));
    m_timer.Disarm();
    // Re-arming before the period passed restarts the watch: still one notification.
    ASSERT_TRUE(m_timer.Arm(60000));
    ASSERT_TRUE(m_timer.Arm(10));
    ASSERT_TRUE(m_recorder.WaitFor(3));
    EXPECT_FALSE(m_recorder.WaitFor(4, 40ms));
    m_timer.Disarm();
}

TEST_F(TimerThreadTest, DisarmWaitsForARunningNotification) {
    struct Slow : CObserver {
        std::promise<void> entered;
        std::atomic<bool> done{false};
        void Update(CObservable*) override {
            entered.set_value();
            std::this_thread::sleep_for(30ms);
            done = true;
        }
    } slow;
    m_timer.AddObserver(&slow);
    ASSERT_TRUE(m_timer.Arm(1));
    slow.entered.get_future().wait();
    m_timer.Disarm();
    EXPECT_TRUE(slow.done);
}

TEST_F(TimerThreadTest, AnotherThreadCannotArmWhileTheOwnerHoldsIt) {
    ASSERT_TRUE(m_timer.Arm(60000));
    EXPECT_FALSE(std::async(std::launch::async, [&] { return m_timer.Arm(10); }).get());
    std::async(std::launch::async, [&] { m_timer.Disarm(); }).get();  // not the owner: no effect
    EXPECT_FALSE(std::async(std::launch::async, [&] { return m_timer.Arm(10); }).get());
    m_timer.Disarm();
    EXPECT_TRUE(std::async(std::launch::async, [&] {
                    const bool armed = m_timer.Arm(60000);
                    m_timer.Disarm();
                    return armed;
                }).get());
    EXPECT_EQ(m_recorder.Count(), 0u);
}

TEST_F(TimerThreadTest, ShutdownWhileArmedEndsWithoutNotification) {
    ASSERT_TRUE(m_timer.Arm(60000));
    const auto start = Clock::now();
    m_timer.Shutdown();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_FALSE(m_timer.Arm(1));
    m_timer.Shutdown();  // twice is harmless
    EXPECT_EQ(m_recorder.Count(), 0u);
}

TEST(TimerThreadLifetimeTest, DestroyedWhileIdleOrArmed) {
    { CTimerThread idle; }
    CTimerThread armed;
    ASSERT_TRUE(armed.Arm(60000));
}
