// The one background worker: runs work items one at a time, first in first out.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "concurrency/simple_functor.h"
#include "concurrency/sync_objects.h"

class CBackgroundExecutor {
public:
    // Starts the worker thread; without one, Execute ignores every item.
    CBackgroundExecutor();
    // Stop, then the object is gone.
    virtual ~CBackgroundExecutor();
    CBackgroundExecutor(const CBackgroundExecutor&) = delete;
    CBackgroundExecutor& operator=(const CBackgroundExecutor&) = delete;

    // Queues the item and returns at once. The item must stay alive until it has run and
    // notified its observers on the worker thread. A running item may submit further items.
    void Execute(CSimpleFunctor* item);

    // Whether the item is queued or running.
    bool Holds(const CSimpleFunctor* item);
    // Waits until the item is neither queued nor running (its notification included): its owner
    // may then go. Never call it from the item itself.
    void WaitUntilDone(const CSimpleFunctor* item);

    // Runs every item queued so far, then ends the worker and waits for it. Items submitted
    // afterwards are ignored. Called by an item, it returns at once and the worker still drains.
    void Stop();

private:
    void Enqueue(CSimpleFunctor* item);
    void WorkLoop();
    void Quit() { m_quit = true; }

    std::deque<CSimpleFunctor*> m_queue;  // not owned; the front stays until it has notified
    CSemaphoreObject m_items{0, 0x7FFFFFFF};
    std::mutex m_queueMutex;
    std::condition_variable m_itemEnded;  // an item has left the queue
    CSimpleFunctor m_quitItem{this, &CBackgroundExecutor::Quit};
    bool m_accepting = false;  // under m_queueMutex
    bool m_quit = false;       // worker only
    std::thread m_thread;
};

// Every client submits through this one.
extern CBackgroundExecutor g_executor;
