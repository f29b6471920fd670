// Brings notifications from background threads to the UI thread.
#pragma once

#include <QObject>
#include <functional>

#include "concurrency/observer.h"

// Lives on the UI thread (the thread that created it). Observes background subjects and re-fires
// each of their notifications, with the unchanged source, to its own observers on the UI thread,
// in posting order. Notifications still queued when the proxy is destroyed are dropped.
class CObserverProxyUI : public QObject, public CObservable, public CObserver {
    Q_OBJECT

public:
    explicit CObserverProxyUI(QObject* parent = nullptr) : QObject(parent) {}

    // Any thread: queues the re-fire and returns at once.
    void Update(CObservable* source) override;
};

// Runs call on the receiver's thread and waits for it to finish (directly when already there).
// An exception thrown by call reaches the caller. Returns false, without running call, when the
// receiver is destroyed first. The receiver's thread must be running its event loop and must not
// itself be waiting for the caller.
bool SendBlocking(QObject* receiver, const std::function<void()>& call);
