#!/usr/bin/env bash
# A first look at cli_agent: builds the library, cli-server and the example
# host (nothing else: no tests, no manual pages, in a build directory of its
# own), starts the example host in the background and opens cli-server
# attached to it. Leave with quit or Ctrl-D; the host is stopped on the way
# out.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh demo
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCLI_AGENT_BUILD_TESTS=OFF -DCLI_AGENT_BUILD_TOOLS=ON -DCLI_AGENT_BUILD_MANPAGES=OFF \
    -DCLI_AGENT_BUILD_EXAMPLES=ON -DCLI_AGENT_BUILD_BENCH=OFF >/dev/null
cmake --build build/demo --target cli-server example_host

host_pid=""
stop_host() {
    if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then
        kill "$host_pid" 2>/dev/null || true
        wait "$host_pid" 2>/dev/null || true
    fi
}
trap stop_host EXIT

# A session of its own keeps the terminal's Ctrl-C away from the host.
setsid build/demo/examples/example_host 1 demo 2>/dev/null &
host_pid=$!

# Ctrl-C belongs to cli-server (it interrupts the running command); the
# shell only has to survive it to clean up afterwards.
trap ':' INT
echo "The example host runs as agent 'demo'. Try: help, status, dump -n 32, wipe, ticks -n 5"
build/demo/server/cli-server --agent demo
