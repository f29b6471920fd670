#include "concurrency/observer_proxy_ui.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "recorder.h"

using namespace std::chrono_literals;

namespace {

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "test_concurrency";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the UI thread's event loop until done() holds or the limit passes.
template <typename Done>
bool ProcessEventsUntil(Done done, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

void ProcessPendingEvents() {
    ProcessEventsUntil([] { return false; }, 20ms);
}

class ProxyTest : public ::testing::Test {
protected:
    ProxyTest() { App(); }
};

}  // namespace

TEST_F(ProxyTest, RefiresOnTheUiThreadInFiringOrderAcrossThreads) {
    CObserverProxyUI proxy;
    Recorder ui;
    proxy.AddObserver(&ui);
    CObservable first, second;
    first.AddObserver(&proxy);
    second.AddObserver(&proxy);

    // Two background threads take turns, so the firing order runs across both.
    constexpr int kRounds = 50;
    std::atomic<int> turn{0};
    auto fire = [&](CObservable& subject, int parity) {
        for (int i = 0; i < kRounds; ++i) {
            while (turn % 2 != parity) std::this_thread::yield();
            subject.Notify();
            ++turn;
        }
    };
    std::thread a(fire, std::ref(first), 0), b(fire, std::ref(second), 1);
    a.join();
    b.join();
    EXPECT_EQ(ui.Count(), 0u);  // nothing arrives before the UI thread handles its events

    ASSERT_TRUE(ProcessEventsUntil([&] { return ui.Count() >= 2 * kRounds; }));
    const auto seen = ui.Seen();
    ASSERT_EQ(seen.size(), 2u * kRounds);
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].source, i % 2 == 0 ? &first : &second) << i;
        EXPECT_EQ(seen[i].thread, std::this_thread::get_id());
    }
}

TEST_F(ProxyTest, NotificationsPendingWhenTheProxyGoesAreLost) {
    auto proxy = std::make_unique<CObserverProxyUI>();
    Recorder ui;
    proxy->AddObserver(&ui);
    CObservable subject;
    subject.AddObserver(proxy.get());
    std::thread([&] { subject.Notify(); }).join();
    proxy.reset();
    ProcessPendingEvents();  // the sanitizer catches a delivery to the freed proxy
    EXPECT_EQ(ui.Count(), 0u);
    subject.Notify();  // the subject forgot the proxy
    ProcessPendingEvents();
    EXPECT_EQ(ui.Count(), 0u);
}

TEST_F(ProxyTest, SendBlockingRunsOnTheReceiverThreadAndWaits) {
    QObject receiver;
    std::thread::id ranOn;
    EXPECT_TRUE(SendBlocking(&receiver, [&] { ranOn = std::this_thread::get_id(); }));
    EXPECT_EQ(ranOn, std::this_thread::get_id());  // same thread: a direct call

    std::atomic<int> result{-1};
    std::thread caller([&] {
        bool thrown = false;
        try {
            SendBlocking(&receiver, [] { throw std::runtime_error("ui failed"); });
        } catch (const std::runtime_error&) {
            thrown = true;
        }
        const bool ran = SendBlocking(&receiver, [&] { ranOn = std::this_thread::get_id(); });
        result = thrown && ran ? 1 : 0;
    });
    ASSERT_TRUE(ProcessEventsUntil([&] { return result != -1; }));
    caller.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_FALSE(SendBlocking(nullptr, [] {}));
}

TEST_F(ProxyTest, SendBlockingReturnsFalseWhenTheReceiverGoesFirst) {
    auto receiver = std::make_unique<QObject>();
    std::atomic<bool> sending{false};
    std::atomic<int> result{-1};
    bool ran = false;
    std::thread caller([&, target = receiver.get()] {
        sending = true;
        result = SendBlocking(target, [&] { ran = true; }) ? 1 : 0;
    });
    while (!sending) std::this_thread::yield();
    std::this_thread::sleep_for(20ms);  // let the call be posted
    receiver.reset();
    caller.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(ran);
}
