#!/bin/sh
# Runs a test program in a network namespace of its own, with only loopback
# up, where the system allows it (root, or unprivileged user namespaces with
# unshare -n permitted); elsewhere it runs the program as it is. Inside, port
# 7002 belongs to this test alone: no agent or server of another test run,
# another checkout or a running demo on the same machine can connect to the
# test's server or take its port. The port7002 resource lock still
# serialises the tests where this falls back.
if unshare -n sh -c 'ip link set lo up' 2>/dev/null; then
    exec unshare -n sh -c 'ip link set lo up && exec "$0" "$@"' "$@"
fi
exec "$@"
