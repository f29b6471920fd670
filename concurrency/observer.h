// Subject/observer notifications: a notification carries only the subject that fired.
//
// A registration is recorded on both sides, and either side's destructor removes the other
// side's entries, so neither keeps a dangling pointer. The lists are not locked: register before
// the subject can fire on another thread, and destroy a subject or observer only when none of its
// notifications can be running.
#pragma once

#include <list>

class CObserver;

class CObservable {
public:
    CObservable() = default;
    // A copy has the same observers as its source, and each of them knows the copy as a subject.
    CObservable(const CObservable& other);
    CObservable& operator=(const CObservable& other);
    virtual ~CObservable();

    // No duplicate check: a pair registered twice is notified twice.
    void AddObserver(CObserver* observer);
    // Calls Update(source, or this subject when null) on each observer in registration order, on
    // the calling thread. An observer destroyed by an earlier one during the round is skipped.
    void Notify(CObservable* source = nullptr);

protected:
    // Notify for threads where an exception must not escape: an observer that throws is
    // traced and the others are still called.
    void NotifyNoThrow(CObservable* source = nullptr) noexcept;

private:
    friend class CObserver;
    template <typename Call>
    void ForEachObserver(Call&& call);
    void AttachToObservers();
    void DetachFromObservers();

    std::list<CObserver*> m_observers;
};

class CObserver {
public:
    CObserver() = default;
    CObserver(const CObserver&) = delete;
    CObserver& operator=(const CObserver&) = delete;
    virtual ~CObserver();

    virtual void Update(CObservable* source) = 0;

private:
    friend class CObservable;
    std::list<CObservable*> m_subjects;
};
