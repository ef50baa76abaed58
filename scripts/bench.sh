#!/usr/bin/env bash
# Builds the dev preset and runs the benchmark. Arguments go to cli_bench
# (for instance --quick for a short run, --strict to fail on a missed target);
# --scale runs the server-scale benchmark instead (arguments after it go to
# server_scale_bench); --daemon the resident server's round trip against the
# standalone one (arguments after it go to daemon_bench); --policy the
# resident server with an access policy of 1,000 rules against one without
# (policy_bench, as root: its clients run as nobody); --fanout one command on
# 100 to 10,000 agents at once through the resident server and a standalone
# one (fanout_bench).
# The benchmark listens on 127.0.0.1:7002 like the agent tests: do not run
# it while they run, or it waits for the port.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake --preset dev >/dev/null

# --scale: what idle agents cost cli-server (bench/server_scale_bench), in a
# private network namespace where unprivileged ones are allowed, so that it
# neither meets nor blocks another server on 127.0.0.1:7002.
if [[ "${1:-}" == "--scale" ]]; then
  shift
  cmake --build --preset dev --target server_scale_bench
  if unshare -rn true 2>/dev/null; then
    exec unshare -rn sh -c 'ip link set lo up 2>/dev/null || true; exec "$0" "$@"' \
      build/dev/bench/server_scale_bench "$@"
  fi
  echo "bench.sh: no private network namespace here; using the machine's loopback" >&2
  exec build/dev/bench/server_scale_bench "$@"
fi

# --daemon: one command through the resident server against the same command
# through a standalone cli-server (bench/daemon_bench). Both servers listen on
# free loopback ports and the daemon's socket is in a temporary directory, so
# it needs no namespace and meets no other server.
if [[ "${1:-}" == "--daemon" ]]; then
  shift
  cmake --build --preset dev --target daemon_bench
  exec build/dev/bench/daemon_bench "$@"
fi

# --fanout: `cli-server --all --json -c status` to N agents answering at
# once, resident and standalone (bench/fanout_bench). Free loopback ports and
# a temporary socket, like --daemon: no namespace needed.
if [[ "${1:-}" == "--fanout" ]]; then
  shift
  cmake --build --preset dev --target fanout_bench
  exec build/dev/bench/fanout_bench "$@"
fi

if [[ "${1:-}" == "--policy" ]]; then
  shift
  cmake --build --preset dev --target policy_bench
  exec build/dev/bench/policy_bench "$@"
fi

cmake --build --preset dev --target cli_bench
exec build/dev/bench/cli_bench "$@"
