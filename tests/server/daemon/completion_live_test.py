#!/usr/bin/env python3
"""bash completion of --agent asks a live resident server for its agents.

Usage: completion_live_test.py COMPLETION_FILE CLI_SERVER EXAMPLE_HOST

Starts a resident server (readiness through NOTIFY_SOCKET, as systemd
would see it), example hosts named completion-probe and "completion probe
two", waits until the server has both (a client with --wait), then
completes `cli-server --socket S --agent comp` in bash and expects both
names, each also as NAME@USER, the second quoted as one word, and `--agent
completion\ p` (a space typed with a backslash) and expects only the second. Exits 77
(skipped) where bash-completion is not installed. Every wait is bounded.
"""
import os
import pwd
import socket
import subprocess
import sys
import tempfile

BASH_COMPLETION = "/usr/share/bash-completion/bash_completion"


def main():
    completion, cli_server, example_host = sys.argv[1:4]
    if not os.path.exists(BASH_COMPLETION):
        print("bash-completion not installed")
        return 77
    with tempfile.TemporaryDirectory() as tmp:
        sock = os.path.join(tmp, "run", "cli-server.sock")
        notify_path = os.path.join(tmp, "notify")
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(notify_path)
        notify.settimeout(10)
        env = dict(os.environ, NOTIFY_SOCKET=notify_path)
        env.pop("CLI_SERVER_SOCKET", None)
        daemon = subprocess.Popen([cli_server, "--daemon", "--socket", sock], env=env,
                                  stderr=subprocess.PIPE)
        hosts = []
        try:
            ready = b""
            while b"READY=1" not in ready:
                ready = notify.recv(4096)
            for agent_id, name in (("5", "completion-probe"), ("6", "completion probe two")):
                hosts.append(subprocess.Popen([example_host, agent_id, name],
                                              stdout=subprocess.DEVNULL,
                                              stderr=subprocess.DEVNULL))
                subprocess.run([cli_server, "--socket", sock, "--agent", name,
                                "--wait", "10", "-c", "help"], check=True, timeout=20,
                               stdout=subprocess.DEVNULL)
            script = f'''
source {BASH_COMPLETION}
source "$1"
COMP_WORDS=("$2" --socket "$3" --agent "$4"); COMP_CWORD=4
COMP_LINE="${{COMP_WORDS[*]}}"; COMP_POINT=${{#COMP_LINE}}
_cli_server; printf '%s\\n' "${{COMPREPLY[@]}}"
'''
            user = pwd.getpwuid(os.getuid()).pw_name
            two = "completion\\ probe\\ two"
            cases = (("comp", ["completion-probe", f"completion-probe@{user}", two,
                               f"{two}@{user}"]),
                     ("completion\\ p", [two, f"{two}@{user}"]))
            for typed, expected in cases:
                out = subprocess.run(["bash", "-c", script, "sh", completion, cli_server, sock,
                                      typed], capture_output=True, text=True,
                                     timeout=20).stdout.split("\n")
                got = sorted(line for line in out if line)
                if got != sorted(expected):
                    print(f"completing {typed!r} gave {got!r}, expected {expected!r}")
                    return 1
            return 0
        finally:
            for host in hosts:
                host.terminate()
                host.wait(timeout=10)
            daemon.terminate()
            daemon.wait(timeout=10)


if __name__ == "__main__":
    sys.exit(main())
