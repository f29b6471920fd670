#include "concurrency/observer.h"

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "platform/trace.h"

CObservable::CObservable(const CObservable& other) : m_observers(other.m_observers) {
    AttachToObservers();
}

CObservable& CObservable::operator=(const CObservable& other) {
    if (this == &other) return *this;
    // The old observers must forget this subject, or they would keep it after it is destroyed.
    DetachFromObservers();
    m_observers = other.m_observers;
    AttachToObservers();
    return *this;
}

CObservable::~CObservable() {
    DetachFromObservers();
}

void CObservable::AddObserver(CObserver* observer) {
    if (!observer) return;
    m_observers.push_back(observer);
    observer->m_subjects.push_back(this);
}

template <typename Call>
void CObservable::ForEachObserver(Call&& call) {
    // A snapshot, so that an observer destroyed during the round neither breaks the iteration
    // nor gets called afterwards.
    const std::vector<CObserver*> snapshot(m_observers.begin(), m_observers.end());
    for (CObserver* observer : snapshot) {
        if (std::find(m_observers.begin(), m_observers.end(), observer) != m_observers.end())
            call(observer);
    }
}

void CObservable::Notify(CObservable* source) {
    CObservable* const fired = source ? source : this;
    ForEachObserver([fired](CObserver* observer) { observer->Update(fired); });
}

void CObservable::NotifyNoThrow(CObservable* source) noexcept {
    CObservable* const fired = source ? source : this;
    ForEachObserver([fired](CObserver* observer) {
        try {
            observer->Update(fired);
        } catch (const std::exception& e) {
            platform::Trace(std::string("observer: exception in Update: ") + e.what());
        } catch (...) {
            platform::Trace("observer: unknown exception in Update");
        }
    });
}

void CObservable::AttachToObservers() {
    for (CObserver* observer : m_observers) observer->m_subjects.push_back(this);
}

void CObservable::DetachFromObservers() {
    for (CObserver* observer : m_observers) observer->m_subjects.remove(this);
    m_observers.clear();
}

CObserver::~CObserver() {
    for (CObservable* subject : m_subjects) subject->m_observers.remove(this);
    m_subjects.clear();
}
