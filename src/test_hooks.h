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
    frame_write_error,        // before each write of a frame: an errno to fail with
    frame_write_limit,        // before each write of a frame: at most this many bytes
};
inline constexpr int hook_point_count = 5;

#ifdef CLI_AGENT_TEST_HOOKS
// What the hook returns means something only at the frame_write points;
// 0 is "as usual" everywhere.
using hook_function = int (*)(hook_point);
extern std::atomic<hook_function> g_test_hook;
inline int test_hook(hook_point point) {
    hook_function f = g_test_hook.load();
    return f != nullptr ? f(point) : 0;
}
#else
inline int test_hook(hook_point) {
    return 0;
}
#endif

} // namespace cli_internal
