#!/usr/bin/env bash
# Builds everything and runs every test: the warnings-as-errors build, the
# Debian packages (scripts/package.sh), the same suite under
# AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer,
# then a short run of each fuzz target.
#
#   bash scripts/test.sh            # everything
#   FUZZ_SECONDS=300 bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)

# The tests bind 127.0.0.1:7002, the port a running demo or a real CLI
# server uses. Where we may, run them in a network namespace of their own so
# neither disturbs the other.
isolated=()
if unshare -n sh -c 'ip link set lo up' 2>/dev/null; then
    isolated=(unshare -n sh -c 'ip link set lo up && exec "$0" "$@"')
fi

# run_preset PRESET [WRAPPER...]: configure, build and test one preset; the
# wrapper runs ctest (for example with a fixed address layout).
run_preset() {
    local preset=$1
    shift
    echo "==> $preset: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "==> $preset: test"
    "${isolated[@]}" "$@" ctest --preset "$preset" -j "$jobs"
}

# The locking rules, checked by clang's thread-safety analysis.
echo "==> tsa: thread-safety analysis of the library"
cmake --preset tsa >/dev/null
cmake --build --preset tsa -j "$jobs"

run_preset ci
# The Debian packages, built from a clean copy and checked as installed.
bash scripts/package.sh
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_preset asan
# ThreadSanitizer needs an address layout that recent kernels randomise
# beyond its reach; setarch -R turns that off for the test run.
tsan_wrap=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
    tsan_wrap=(setarch "$(uname -m)" -R)
fi
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_preset tsan "${tsan_wrap[@]}"

if [ -x scripts/fuzz.sh ]; then
    bash scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
fi
echo "==> all tests passed"
