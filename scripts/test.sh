#!/usr/bin/env bash
# Builds everything and runs every test: the warnings-as-errors build, the
# same suite under AddressSanitizer + UndefinedBehaviorSanitizer and under
# ThreadSanitizer, then a short run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
run_preset() {
    local preset=$1
    echo "==> $preset: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "==> $preset: test"
    ctest --preset "$preset" -j "$jobs"
}

run_preset ci
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_preset asan
# TSan needs a fixed address layout; newer kernels randomise too much.
setarch "$(uname -m)" -R true 2>/dev/null && tsan_wrap=(setarch "$(uname -m)" -R) || tsan_wrap=()
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "${tsan_wrap[@]}" bash -c \
    "$(declare -f run_preset); jobs=$jobs; run_preset tsan"

if [ -x scripts/fuzz.sh ]; then
    bash scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
fi
echo "==> all tests passed"
