#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz) and runs each for SECONDS
# (default 30) on a scratch copy of its seed corpus, so runs never write into
# the repository. Any crash, leak, time-out or broken invariant fails the run;
# its reproducer is kept in build/fuzz/artifacts/.
#
#   bash scripts/fuzz.sh [SECONDS]
#   FUZZ_TARGETS="split_args numbers" bash scripts/fuzz.sh 600
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
targets=(${FUZZ_TARGETS:-frame_recv split_args get_option numbers conversation operator_protocol server_frame access_policy})
build=build/fuzz
artifacts=$build/artifacts

echo "==> fuzz: configure and build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The conversation target listens on the agent's fixed port. Where private
# network namespaces are allowed it gets one, so that it cannot collide with
# anything else on the machine using that port.
isolate=()
if unshare -n sh -c 'ip link set lo up' 2>/dev/null; then
    isolate=(unshare -n sh -c 'ip link set lo up && exec "$@"' sh)
fi

failed=0
for t in "${targets[@]}"; do
    dir=$scratch/$t
    mkdir -p "$dir/corpus"
    cp fuzz/corpus/"$t"/* "$dir/corpus/"
    dict=()
    if [ -f fuzz/"$t".dict ]; then dict=(-dict="$PWD/fuzz/$t.dict"); fi
    echo "==> fuzz: $t for ${seconds}s"
    start=$SECONDS
    wrap=()
    if [ "$t" = conversation ]; then wrap=("${isolate[@]}"); fi
    if "${wrap[@]}" "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$dir/" "${dict[@]}" "$dir/corpus" \
        >"$dir/log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log")
        echo "    ok: ${runs:-?} inputs in $((SECONDS - start))s"
    else
        failed=1
        echo "    FAILED: $t; last lines of its log:"
        tail -n 40 "$dir/log" | sed 's/^/    /'
        mkdir -p "$artifacts"
        cp "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-* "$artifacts/" 2>/dev/null || true
        echo "    reproducers kept in $artifacts/"
    fi
done
exit $failed
