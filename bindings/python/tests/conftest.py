"""Fixtures: one agent for the test session and a helper that runs the real
cli-server in scripting mode against it. The server binds 127.0.0.1:7002;
CTest runs this suite in a network namespace of its own or under the
port's resource lock. CLI_SERVER names the cli-server program."""

import os
import subprocess

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
