// A work item for the background executor: one callable, and the observers that hear of its
// completion.
#pragma once

#include <functional>
#include <utility>

#include "concurrency/observer.h"

class CSimpleFunctor : public CObservable {
public:
    // Binds a member function without arguments to its object (not owned).
    template <typename T>
    CSimpleFunctor(T* target, void (T::*function)())
        : m_call([target, function] { (target->*function)(); }) {}
    explicit CSimpleFunctor(std::function<void()> call) : m_call(std::move(call)) {}

    // Copies share the callable and the observers (see CObservable's copy).
    CSimpleFunctor(const CSimpleFunctor&) = default;
    CSimpleFunctor& operator=(const CSimpleFunctor&) = default;

    // Calls the callable, then notifies the observers with this item as the source. Nothing
    // escapes: work items keep their errors in their owner, and anything thrown anyway is traced
    // and swallowed so the observers still hear of the completion.
    void Run() noexcept;

private:
    std::function<void()> m_call;
};
