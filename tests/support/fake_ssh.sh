#!/bin/sh
# A stand-in for `ssh HOST COMMAND...` in tests: COMMAND runs on this
# machine, through sh as sshd would run it, inside network and UTS
# namespaces of its own whose host name is HOST, so every "host" has its
# own loopback, its own port 7002 and its own agents. The host's services
# are the lines of $FAKE_SSH_HOSTS/HOST, one command a line, started first
# and stopped when COMMAND ends. Exits with COMMAND's status, or 255 (as
# ssh does) when the namespaces cannot be made.
host=$1
shift
exec unshare -n -u sh -c '
    host=$1
    shift
    ip link set lo up && hostname "$host" || exit 255
    pids=
    if [ -f "$FAKE_SSH_HOSTS/$host" ]; then
        while IFS= read -r service; do
            [ -n "$service" ] || continue
            sh -c "exec $service" </dev/null &
            pids="$pids $!"
        done <"$FAKE_SSH_HOSTS/$host"
    fi
    sh -c "$*" </dev/null
    status=$?
    [ -z "$pids" ] || kill $pids 2>/dev/null
    wait
    exit $status' fake_ssh "$host" "$@"
