#include "concurrency/simple_functor.h"

#include <exception>
#include <string>

#include "platform/trace.h"

void CSimpleFunctor::Run() noexcept {
    try {
        if (m_call) m_call();
    } catch (const std::exception& e) {
        platform::Trace(std::string("work item: exception escaped: ") + e.what());
    } catch (...) {
        platform::Trace("work item: unknown exception escaped");
    }
    NotifyNoThrow();
}
