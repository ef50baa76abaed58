#!/usr/bin/env bash
# Builds the dev preset and runs the benchmark. Arguments go to cli_bench
# (for instance --quick for a short run, --strict to fail on a missed target).
# The benchmark listens on 127.0.0.1:7002 like the agent tests: do not run
# it while they run, or it waits for the port.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake --preset dev >/dev/null
cmake --build --preset dev --target cli_bench
exec build/dev/bench/cli_bench "$@"
