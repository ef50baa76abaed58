"""Fixtures: one agent for the test session (stopped for the tests that
start agents of their own) and a helper that runs the real cli-server in
scripting mode against it. The server binds 127.0.0.1:7002;
CTest runs this suite in a network namespace of its own or under the
port's resource lock. CLI_SERVER names the cli-server program."""

import os
import select
import subprocess
import time

import pytest

import cli_agent

AGENT_NAME = "pytest-agent"
SERVER_TIMEOUT = 30  # seconds for one whole cli-server run


def server_path():
    path = os.environ.get("CLI_SERVER")
    if not path:
        pytest.fail("CLI_SERVER must name the cli-server program")
    return path


def server_args(*lines):
    args = [server_path(), "--agent", AGENT_NAME, "--wait", "10"]
    for line in lines:
        args += ["-c", line]
    return args


def run_server(*lines, stdin=b""):
    """Runs the command lines on the agent; returns the CompletedProcess with
    the output in bytes."""
    return subprocess.run(
        server_args(*lines), input=stdin, capture_output=True, timeout=SERVER_TIMEOUT
    )


@pytest.fixture(scope="session")
def agent():
    a = cli_agent.Agent(42, AGENT_NAME).start()
    yield a
    assert a.close(timeout=10), "a handler was still running"


@pytest.fixture
def no_agent(agent):
    """Stops the session's agent for a test that starts its own (one agent
    per process) and starts it again afterwards, with its commands."""
    assert agent.close(timeout=10), "a handler was still running"
    yield agent
    left = cli_agent._agent._state.agent
    if left is not None:  # a failed test's own agent
        left.close(timeout=10)
    agent.start()


def read_until(stream, marker, timeout):
    """Reads a pipe until marker appears; everything read so far. Fails the
    test after `timeout` seconds."""
    data = b""
    deadline = time.monotonic() + timeout
    fd = stream.fileno()
    while marker not in data:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            pytest.fail(f"no {marker!r} within {timeout} s; read {data!r}")
        chunk = os.read(fd, 65536)
        if not chunk:
            pytest.fail(f"the stream ended before {marker!r}; read {data!r}")
        data += chunk
    return data
