#!/usr/bin/env bash
# A first look at cli_agent: builds the project, starts the example host in
# the background and opens cli-server attached to it. Leave with quit or
# Ctrl-D; the host is stopped on the way out.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev

host_pid=""
stop_host() {
    if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then
        kill "$host_pid" 2>/dev/null || true
        wait "$host_pid" 2>/dev/null || true
    fi
}
trap stop_host EXIT

# A session of its own keeps the terminal's Ctrl-C away from the host.
setsid build/dev/examples/example_host 1 demo 2>/dev/null &
host_pid=$!

# Ctrl-C belongs to cli-server (it interrupts the running command); the
# shell only has to survive it to clean up afterwards.
trap ':' INT
echo "The example host runs as agent 'demo'. Try: help, status, dump -n 32, wipe, ticks -n 5"
build/dev/tools/cli-server --agent demo
