// Points on the agent thread where a test copy of the library (built with
// CLI_AGENT_TEST_HOOKS) calls a function the test installs, to hold the
// thread at a moment that is otherwise too short to reach. The shipped
// library compiles every call away.
#pragma once

#ifdef CLI_AGENT_TEST_HOOKS
#include <atomic>
#endif

namespace cli_internal {

enum class hook_point {
    connection_socket_opened, // the agent's socket exists, connect() has not run
    before_owner_lookup,      // connected, the server's owner not yet asked
    lookup_descriptor_opened, // the lookup holds its netlink socket or /proc file
};

#ifdef CLI_AGENT_TEST_HOOKS
using hook_function = void (*)(hook_point);
extern std::atomic<hook_function> g_test_hook;
inline void test_hook(hook_point point) {
    if (hook_function f = g_test_hook.load()) f(point);
}
#else
inline void test_hook(hook_point) {}
#endif

} // namespace cli_internal
