#!/usr/bin/env bash
# Checks the shipped systemd unit with systemd-analyze verify, pointing its
# ExecStart at the freshly built cli-server (the installed path need not
# exist here). Skips (77) where systemd-analyze is missing.
#
#   verify_service_unit.sh UNIT_FILE CLI_SERVER_BINARY
set -euo pipefail
unit=$1
binary=$2
if ! command -v systemd-analyze >/dev/null; then
    echo "systemd-analyze not found: skipped"
    exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
sed "s|^ExecStart=/usr/bin/cli-server|ExecStart=$binary|" "$unit" >"$scratch/cli-server.service"
grep -q "^ExecStart=$binary --daemon" "$scratch/cli-server.service"
# verify prints its findings and exits 0 even for some warnings: any output fails.
out=$(systemd-analyze verify "$scratch/cli-server.service" 2>&1) || { echo "$out"; exit 1; }
if [ -n "$out" ]; then
    echo "$out"
    exit 1
fi
echo "ok: $unit"
