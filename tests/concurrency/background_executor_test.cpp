#include "concurrency/background_executor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "recorder.h"

using namespace std::chrono_literals;

namespace {

// A shared log of what the items and their observers did, in order.
class Log {
public:
    void Add(std::string entry) {
        std::lock_guard lock(m_mutex);
        m_entries.push_back(std::move(entry));
    }
    std::vector<std::string> Entries() {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_entries;
};

// Logs each completion with the name of the item that fired.
class NamingObserver : public CObserver {
public:
    NamingObserver(Log& log, std::map<CObservable*, std::string> names)
        : m_log(log), m_names(std::move(names)) {}
    void Update(CObservable* source) override { m_log.Add("done " + m_names[source]); }

private:
    Log& m_log;
    std::map<CObservable*, std::string> m_names;
};

class ExecutorTest : public ::testing::Test {
protected:
    // An item that logs its name and checks that it never runs beside another item.
    CSimpleFunctor Item(const std::string& name, std::function<void()> extra = {}) {
        return CSimpleFunctor([this, name, extra] {
            EXPECT_EQ(++m_running, 1) << name << " runs beside another item";
            m_log.Add("run " + name);
            if (extra) extra();
            --m_running;
        });
    }

    Log m_log;
    std::atomic<int> m_running{0};
};

}  // namespace

TEST_F(ExecutorTest, RunsItemsOneAtATimeInOrderEachNotifiedBeforeTheNext) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    CSimpleFunctor a = Item("a", [released] { released.wait(); });
    CSimpleFunctor b = Item("b");
    CSimpleFunctor c = Item("c");
    NamingObserver observer(m_log, {{&a, "a"}, {&b, "b"}, {&c, "c"}});
    Recorder last;
    for (CSimpleFunctor* item : {&a, &b, &c}) item->AddObserver(&observer);
    c.AddObserver(&last);

    CBackgroundExecutor executor;
    executor.Execute(&a);
    executor.Execute(&b);
    executor.Execute(&c);
    release.set_value();
    ASSERT_TRUE(last.WaitFor(1));
    EXPECT_EQ(m_log.Entries(),
              (std::vector<std::string>{"run a", "done a", "run b", "done b", "run c", "done c"}));
}

TEST_F(ExecutorTest, NotifiesOnTheWorkerThreadWithTheItemAsSource) {
    std::promise<std::thread::id> ranOn;
    CSimpleFunctor item([&] { ranOn.set_value(std::this_thread::get_id()); });
    Recorder recorder;
    item.AddObserver(&recorder);

    CBackgroundExecutor executor;
    executor.Execute(&item);
    ASSERT_TRUE(recorder.WaitFor(1));
    const auto seen = recorder.Seen();
    EXPECT_EQ(seen[0].source, &item);
    EXPECT_EQ(seen[0].thread, ranOn.get_future().get());
    EXPECT_NE(seen[0].thread, std::this_thread::get_id());
}

TEST_F(ExecutorTest, ItemSubmittedByARunningItemRunsAfterThoseAlreadyQueued) {
    CBackgroundExecutor executor;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    CSimpleFunctor c = Item("c");
    CSimpleFunctor a = Item("a", [&] {
        released.wait();
        executor.Execute(&c);
    });
    CSimpleFunctor b = Item("b");
    Recorder last;
    c.AddObserver(&last);

    executor.Execute(&a);
    executor.Execute(&b);
    release.set_value();
    ASSERT_TRUE(last.WaitFor(1));
    executor.Stop();  // the worker is done with the items before they go
    EXPECT_EQ(m_log.Entries(), (std::vector<std::string>{"run a", "run b", "run c"}));
}

TEST_F(ExecutorTest, ItemSubmittedTwiceRunsAndNotifiesTwice) {
    CSimpleFunctor item = Item("x");
    Recorder recorder;
    item.AddObserver(&recorder);
    CBackgroundExecutor executor;
    executor.Execute(&item);
    executor.Execute(&item);
    ASSERT_TRUE(recorder.WaitFor(2));
    EXPECT_EQ(m_log.Entries(), (std::vector<std::string>{"run x", "run x"}));
}

TEST_F(ExecutorTest, DestructionRunsEveryQueuedItemThenEnds) {
    std::vector<std::unique_ptr<CSimpleFunctor>> items;
    Recorder recorder;
    {
        CBackgroundExecutor executor;
        // The first item holds the worker so that the others are still queued at destruction.
        items.push_back(
            std::make_unique<CSimpleFunctor>(Item("0", [] { std::this_thread::sleep_for(20ms); })));
        for (int i = 1; i < 5; ++i)
            items.push_back(std::make_unique<CSimpleFunctor>(Item(std::to_string(i))));
        for (auto& item : items) {
            item->AddObserver(&recorder);
            executor.Execute(item.get());
        }
    }
    EXPECT_EQ(recorder.Count(), 5u);
    EXPECT_EQ(m_log.Entries(),
              (std::vector<std::string>{"run 0", "run 1", "run 2", "run 3", "run 4"}));
}

TEST_F(ExecutorTest, IgnoresItemsAfterStop) {
    CSimpleFunctor item = Item("late");
    CBackgroundExecutor executor;
    executor.Stop();
    executor.Execute(&item);
    executor.Execute(nullptr);
    executor.Stop();
    EXPECT_TRUE(m_log.Entries().empty());
}

TEST_F(ExecutorTest, ExceptionEscapingAnItemIsContained) {
    CSimpleFunctor throwing([] { throw std::runtime_error("device gone"); });
    CSimpleFunctor throwingAnything([] { throw 42; });
    CSimpleFunctor next = Item("next");
    struct ThrowingObserver : CObserver {
        void Update(CObservable*) override { throw std::runtime_error("observer failed"); }
    } bad;
    Recorder recorder;
    throwing.AddObserver(&bad);
    throwing.AddObserver(&recorder);
    throwingAnything.AddObserver(&recorder);
    next.AddObserver(&recorder);

    CBackgroundExecutor executor;
    for (CSimpleFunctor* item : {&throwing, &throwingAnything, &next}) executor.Execute(item);
    ASSERT_TRUE(recorder.WaitFor(3));
    EXPECT_EQ(m_log.Entries(), (std::vector<std::string>{"run next"}));
}

TEST(SimpleFunctorTest, BindsAMemberFunctionAndCopiesShareIt) {
    struct Target {
        int calls = 0;
        void Work() { ++calls; }
    } target;
    CSimpleFunctor item(&target, &Target::Work);
    Recorder recorder;
    item.AddObserver(&recorder);
    CSimpleFunctor copy([] {});
    copy = item;
    item.Run();
    copy.Run();
    EXPECT_EQ(target.calls, 2);
    const auto seen = recorder.Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].source, &item);
    EXPECT_EQ(seen[1].source, &copy);
}

TEST(GlobalExecutorTest, RunsSubmittedItems) {
    CSimpleFunctor item([] {});
    Recorder recorder;
    item.AddObserver(&recorder);
    g_executor.Execute(&item);
    EXPECT_TRUE(recorder.WaitFor(1));
}

TEST(ExecutorWait, WaitUntilDoneReturnsOnceTheItemHasRunAndNotified) {
    CBackgroundExecutor executor;
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::atomic<bool> ran{false};
    CSimpleFunctor blocker([gate] { gate.wait(); });
    CSimpleFunctor item([&] { ran = true; });
    executor.Execute(&blocker);
    executor.Execute(&item);
    EXPECT_TRUE(executor.Holds(&item));
    std::thread opener([&] {
        std::this_thread::sleep_for(20ms);
        release.set_value();
    });
    executor.WaitUntilDone(&item);
    EXPECT_TRUE(ran);
    EXPECT_FALSE(executor.Holds(&item));
    opener.join();
}
