#include "concurrency/observer.h"

#include <gtest/gtest.h>

#include <memory>

#include "recorder.h"

namespace {

std::vector<CObservable*> Sources(Recorder& r) {
    std::vector<CObservable*> out;
    for (const auto& n : r.Seen()) out.push_back(n.source);
    return out;
}

}  // namespace

TEST(ObserverTest, NotifyPassesTheSubjectOrTheGivenSource) {
    CObservable subject, other;
    Recorder first, second;
    subject.AddObserver(&first);
    subject.AddObserver(&second);
    subject.Notify();
    subject.Notify(&other);
    EXPECT_EQ(Sources(first), (std::vector<CObservable*>{&subject, &other}));
    EXPECT_EQ(Sources(second), Sources(first));
}

TEST(ObserverTest, PairRegisteredTwiceIsNotifiedTwice) {
    CObservable subject;
    Recorder recorder;
    subject.AddObserver(&recorder);
    subject.AddObserver(&recorder);
    subject.AddObserver(nullptr);  // ignored
    subject.Notify();
    EXPECT_EQ(recorder.Count(), 2u);
}

TEST(ObserverTest, EitherSideMayBeDestroyedFirst) {
    CObservable subject;
    auto early = std::make_unique<Recorder>();
    Recorder late;
    subject.AddObserver(early.get());
    subject.AddObserver(&late);
    early.reset();
    subject.Notify();
    EXPECT_EQ(late.Count(), 1u);

    // The observer outlives its subjects; the sanitizer catches a touch of a freed one.
    auto gone = std::make_unique<CObservable>();
    gone->AddObserver(&late);
    gone->AddObserver(&late);
    gone.reset();
}

TEST(ObserverTest, ObserverDestroyedDuringTheRoundIsSkipped) {
    struct Killer : CObserver {
        std::unique_ptr<Recorder> victim;
        void Update(CObservable*) override { victim.reset(); }
    };
    CObservable subject;
    Killer killer;
    killer.victim = std::make_unique<Recorder>();
    Recorder survivor;
    subject.AddObserver(&killer);
    subject.AddObserver(killer.victim.get());
    subject.AddObserver(&survivor);
    subject.Notify();  // the sanitizer catches a call of the freed recorder
    EXPECT_EQ(survivor.Count(), 1u);
}

TEST(ObserverTest, CopiesShareObserversThatKnowEveryCopy) {
    Recorder oldObserver;
    auto observer = std::make_unique<Recorder>();
    CObservable source;
    source.AddObserver(observer.get());

    auto copy = std::make_unique<CObservable>(source);
    auto target = std::make_unique<CObservable>();
    target->AddObserver(&oldObserver);
    *target = source;
    *target = *target;  // self-assignment changes nothing

    copy->Notify();
    target->Notify();
    EXPECT_EQ(Sources(*observer), (std::vector<CObservable*>{copy.get(), target.get()}));
    EXPECT_EQ(oldObserver.Count(), 0u);  // assignment replaced the old list

    // Each side forgets the other: destroying in any order touches nothing freed.
    copy.reset();
    observer.reset();
    source.Notify();
    target.reset();
}
