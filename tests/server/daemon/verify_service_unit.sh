#!/usr/bin/env bash
# Checks the shipped systemd unit with systemd-analyze verify, pointing its
# ExecStart at the freshly built cli-server (the installed path need not
# exist here). Skips (77) where systemd-analyze is missing. verify also
# opens the Documentation= pages: the built manual page is offered to it
# when given, else that line is left out of the copy.
#
#   verify_service_unit.sh UNIT_FILE CLI_SERVER_BINARY [BUILT_MANPAGE]
set -euo pipefail
unit=$1
binary=$2
page=${3:-}
if ! command -v systemd-analyze >/dev/null; then
    echo "systemd-analyze not found: skipped"
    exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
sed "s|^ExecStart=/usr/bin/cli-server|ExecStart=$binary|" "$unit" >"$scratch/cli-server.service"
if [ -n "$page" ]; then
    mkdir -p "$scratch/man/man1"
    cp "$page" "$scratch/man/man1/"
    export MANPATH=$scratch/man
else
    sed -i '/^Documentation=man:/d' "$scratch/cli-server.service"
fi
grep -q "^ExecStart=$binary --daemon" "$scratch/cli-server.service"
# verify prints its findings and exits 0 even for some warnings: any output fails.
out=$(systemd-analyze verify "$scratch/cli-server.service" 2>&1) || { echo "$out"; exit 1; }
if [ -n "$out" ]; then
    echo "$out"
    exit 1
fi
echo "ok: $unit"
