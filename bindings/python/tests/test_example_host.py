"""The examples as processes: examples/example_host.py (its commands hand
work to the event loop, prompt, fail alone, and SIGINT stops it cleanly) and
the Python example of the guide (doc/guide/embedding-python.md), run as it
stands."""

import os
import pathlib
import re
import signal
import socket
import subprocess
import sys
import time

import pytest

from conftest import SERVER_TIMEOUT, read_until, server_path


def test_example_host_serves_and_stops_on_sigint():
    script = os.environ.get("EXAMPLE_HOST_PY")
    if not script:
        pytest.fail("EXAMPLE_HOST_PY must name examples/example_host.py")
    host = subprocess.Popen(
        [sys.executable, script, "9", "pyexample"],
        stderr=subprocess.PIPE,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
    )
    try:
        r = subprocess.run(
            [server_path(), "--agent", "pyexample", "--wait", "10"]
            + ["-c", "set colour blue", "-c", "job -n 3 -d 1", "-c", "fail", "-c", "clear"]
            + ["-c", "get colour"],
            input=b"yes\n",
            capture_output=True,
            timeout=SERVER_TIMEOUT,
        )
        assert r.returncode == 6, r.stderr  # fail's exception is result 1
        out = r.stdout.decode()
        assert out.startswith("colour = blue\n3 jobs: [0, 1, 4]\n"), out
        assert "fail: RuntimeError: this command always fails\n" in out
        assert "Cleared 2 keys.\nunset\n" in out
    finally:
        host.send_signal(signal.SIGINT)
        _, err = host.communicate(timeout=SERVER_TIMEOUT)
    assert host.returncode == 0, err
    assert b"Traceback" in err and b"example_host.py: stopped" in err


def guide_example(tmp_path):
    page = os.environ.get("CLI_AGENT_GUIDE_PYTHON") or str(
        pathlib.Path(__file__).resolve().parents[3] / "doc" / "guide" / "embedding-python.md"
    )
    text = pathlib.Path(page).read_text(encoding="utf-8")
    code = re.search(r"```python\n(.*?)```", text, re.S).group(1)
    script = tmp_path / "guide_example.py"
    script.write_text(code, encoding="utf-8")
    return subprocess.Popen(
        [sys.executable, str(script)],
        stderr=subprocess.PIPE,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
    )


def example_server(*lines, **kwargs):
    args = [server_path(), "--agent", "my-service", "--wait", "10"]
    for line in lines:
        args += ["-c", line]
    return subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, **kwargs)


def test_guide_example_serves_both_kinds_of_handler(tmp_path):
    host = guide_example(tmp_path)
    try:
        server = example_server("lookup colour", "keys", "lookup")
        out, _ = server.communicate(timeout=SERVER_TIMEOUT)
        assert server.returncode == 6  # the usage error of the bare lookup
        assert out == b"looking colour up...\ncolour = blue\ncolour\nusage: lookup KEY\n"
    finally:
        host.send_signal(signal.SIGINT)
        _, err = host.communicate(timeout=SERVER_TIMEOUT)
    assert host.returncode == 0, err
    assert err == b""


def test_guide_example_stops_soon_after_the_handler_on_sigint(tmp_path):
    host = guide_example(tmp_path)
    server = example_server("lookup colour", stderr=subprocess.DEVNULL)
    try:
        read_until(server.stdout, b"looking colour up...\n", SERVER_TIMEOUT)
        signalled = time.monotonic()  # the handler has about 1 s to go
        host.send_signal(signal.SIGINT)
        _, err = host.communicate(timeout=SERVER_TIMEOUT)
        took = time.monotonic() - signalled
    finally:
        server.kill()
        server.communicate(timeout=SERVER_TIMEOUT)
    assert host.returncode == 0, err
    assert b"Traceback" not in err and b"CancelledError" not in err, err
    assert took < 2.5, f"{took:.2f} s from SIGINT to exit"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_loop_host_handlers_reach_the_loop_through_the_hand_off():
    """examples/loop_host.c: handlers read and change the state of its epoll
    loop, which goes on serving TCP clients; SIGTERM stops it cleanly."""
    program = os.environ.get("LOOP_HOST")
    if not program:
        pytest.skip("the examples are not built (LOOP_HOST is empty)")
    port = free_port()
    host = subprocess.Popen([program, "11", "loophost", str(port)], stderr=subprocess.PIPE)
    try:
        r = subprocess.run(
            [server_path(), "--agent", "loophost", "--wait", "10"]
            + ["-c", "greeting good day", "-c", "stats"],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            timeout=SERVER_TIMEOUT,
        )
        assert r.returncode == 0, r.stderr
        assert r.stdout.startswith(b"greeting set\nclients 0\nticks "), r.stdout
        assert r.stdout.endswith(b"greeting good day\n"), r.stdout
        with socket.create_connection(("127.0.0.1", port), timeout=SERVER_TIMEOUT) as c:
            c.settimeout(SERVER_TIMEOUT)
            assert c.makefile("rb").readline() == b"good day\n"
        r = subprocess.run(
            [server_path(), "--agent", "loophost", "--wait", "10", "-c", "stats"],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            timeout=SERVER_TIMEOUT,
        )
        assert b"clients 1\n" in r.stdout, r.stdout
    finally:
        host.send_signal(signal.SIGTERM)
        _, err = host.communicate(timeout=SERVER_TIMEOUT)
    assert host.returncode == 0, err
    assert err == b"loop_host: stopped\n"
