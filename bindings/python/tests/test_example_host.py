"""examples/example_host.py as a process: its commands hand work to the event
loop, prompt, fail alone, and SIGINT stops it cleanly."""

import os
import signal
import subprocess
import sys

import pytest

from conftest import SERVER_TIMEOUT, server_path


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
        assert r.returncode == 0, r.stderr
        out = r.stdout.decode()
        assert out.startswith("colour = blue\n3 jobs: [0, 1, 4]\n"), out
        assert "fail: RuntimeError: this command always fails\n" in out
        assert "Cleared 2 keys.\nunset\n" in out
    finally:
        host.send_signal(signal.SIGINT)
        _, err = host.communicate(timeout=SERVER_TIMEOUT)
    assert host.returncode == 0, err
    assert b"Traceback" in err and b"example_host.py: stopped" in err
