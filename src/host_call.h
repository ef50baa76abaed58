// Calls into the host's handlers and usage callbacks.
#pragma once

#include <exception>

namespace cli_internal {

// Host callbacks may be C++ that throws; nothing they throw may unwind
// through the agent thread's C frames.
template <class F> void call_host(F &&f) {
    try {
        f();
    } catch (...) {
        // A thread being unwound by pthread_exit or cancellation carries no
        // C++ exception object; that unwinding must go on.
        if (!std::current_exception()) throw;
    }
}

} // namespace cli_internal
