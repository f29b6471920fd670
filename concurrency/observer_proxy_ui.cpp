#include "concurrency/observer_proxy_ui.h"

#include <QPointer>
#include <QThread>
#include <exception>

void CObserverProxyUI::Update(CObservable* source) {
    // Qt drops a queued call whose context object is gone; the guard also covers a proxy that
    // is being destroyed while the call runs.
    QPointer<CObserverProxyUI> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, source] {
            if (self) self->NotifyNoThrow(source);
        },
        Qt::QueuedConnection);
}

bool SendBlocking(QObject* receiver, const std::function<void()>& call) {
    if (!receiver || !call) return false;
    if (receiver->thread() == QThread::currentThread()) {
        call();
        return true;
    }
    bool ran = false;
    std::exception_ptr error;
    // A call event discarded with its receiver still releases the waiting caller.
    QMetaObject::invokeMethod(
        receiver,
        [&] {
            ran = true;
            try {
                call();
            } catch (...) {
                error = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (error) std::rethrow_exception(error);
    return ran;
}
