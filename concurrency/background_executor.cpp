#include "concurrency/background_executor.h"

#include <algorithm>
#include <string>
#include <system_error>

#include "platform/trace.h"

CBackgroundExecutor g_executor;

CBackgroundExecutor::CBackgroundExecutor() {
    try {
        m_thread = std::thread(&CBackgroundExecutor::WorkLoop, this);
        m_accepting = true;
    } catch (const std::system_error& e) {
        platform::Trace(std::string("executor: no worker thread: ") + e.what());
    }
}

CBackgroundExecutor::~CBackgroundExecutor() {
    Stop();
    // Only left joinable when destroyed on the worker itself (exit called by an item).
    if (m_thread.joinable()) m_thread.detach();
}

void CBackgroundExecutor::Execute(CSimpleFunctor* item) {
    if (item) Enqueue(item);
}

void CBackgroundExecutor::Enqueue(CSimpleFunctor* item) {
    std::lock_guard lock(m_queueMutex);
    if (!m_accepting) return;
    m_queue.push_back(item);
    m_items.Unlock();
}

bool CBackgroundExecutor::Holds(const CSimpleFunctor* item) {
    std::lock_guard lock(m_queueMutex);
    return std::ranges::find(m_queue, item) != m_queue.end();
}

void CBackgroundExecutor::WaitUntilDone(const CSimpleFunctor* item) {
    std::unique_lock lock(m_queueMutex);
    m_itemEnded.wait(lock, [&] { return std::ranges::find(m_queue, item) == m_queue.end(); });
}

void CBackgroundExecutor::Stop() {
    {
        std::lock_guard lock(m_queueMutex);
        if (m_accepting) {
            // The quit item joins the back of the queue, so everything before it still runs.
            m_queue.push_back(&m_quitItem);
            m_items.Unlock();
            m_accepting = false;
        }
    }
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void CBackgroundExecutor::WorkLoop() {
    while (!m_quit) {
        if (!m_items.Lock(SYNC_INFINITE)) continue;
        CSimpleFunctor* item;
        {
            std::lock_guard lock(m_queueMutex);
            item = m_queue.front();
        }
        // The queue mutex is free while the item runs, so the item may submit more.
        item->Run();
        std::lock_guard lock(m_queueMutex);
        m_queue.pop_front();
        m_itemEnded.notify_all();
    }
}
