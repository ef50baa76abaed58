"""Agents over their lifetime: who owns which commands, stopping from inside
a handler, after fork(), and from an event loop, and async def handlers."""

import asyncio
import os
import select
import threading
import time

import pytest

import cli_agent
from conftest import AGENT_NAME, SERVER_TIMEOUT, run_server, server_args

WAIT = 10  # seconds any test waits for one event


def test_a_second_agent_is_refused_while_one_runs(agent):
    other = cli_agent.Agent(agent.id, "pytest-other")  # the same id, even
    with pytest.raises(cli_agent.AgentError, match="already runs"):
        other.start()
    other.close()  # must not stop the running agent

    @agent.command("py_still")
    def py_still(args):
        cli_agent.print_buffered("still here\n")

    try:
        r = run_server("py_still")
    finally:
        cli_agent.unregister("py_still")
    assert r.stdout == b"still here\n", r.stderr


def test_commands_belong_to_the_agent_they_are_declared_on(agent):
    other = cli_agent.Agent(43, "pytest-other")

    @other.command("py_theirs")
    def py_theirs(args):
        cli_agent.print_buffered("ran through the wrong agent\n")

    try:
        r = run_server("py_theirs")
    finally:
        cli_agent.unregister("py_theirs")
    assert r.stdout.startswith(b"Unknown command: py_theirs\n"), r.stdout


def test_a_second_with_registers_the_commands_again(no_agent):
    mine = cli_agent.Agent(44, AGENT_NAME)

    @mine.command("py_again")
    def py_again(args):
        cli_agent.print_buffered("here\n")

    for _ in range(2):
        with mine:
            r = run_server("py_again")
        assert r.stdout == b"here\n", r.stdout


def test_close_inside_a_handler_does_not_wait_for_that_handler(no_agent):
    mine = cli_agent.Agent(45, AGENT_NAME)
    seen = {}

    @mine.command("py_stop")
    def py_stop(args):
        started = time.monotonic()
        seen["idle"] = mine.close(timeout=3)
        seen["took"] = time.monotonic() - started

    mine.start()
    try:
        run_server("py_stop")
    finally:
        mine.close(timeout=WAIT)
    assert seen["idle"] is True
    assert seen["took"] < 1.0
    assert not mine.running


def test_a_child_forked_during_a_handler_has_no_command_running(agent):
    entered = threading.Event()
    release = threading.Event()

    @agent.command("py_busy")
    def py_busy(args):
        entered.set()
        release.wait(WAIT)

    server = threading.Thread(target=run_server, args=("py_busy",))
    server.start()
    try:
        assert entered.wait(WAIT)
        rd, wr = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: report and leave without any clean-up
            try:
                started = time.monotonic()
                idle = agent.close(timeout=3)
                os.write(wr, f"{idle} {time.monotonic() - started:.3f}".encode())
            finally:
                os._exit(0)
        os.close(wr)
        ready = select.select([rd], [], [], WAIT)[0]
        report = os.read(rd, 100).decode() if ready else "no report"
        os.close(rd)
        os.waitpid(pid, 0)
    finally:
        release.set()
        server.join(SERVER_TIMEOUT)
        cli_agent.unregister("py_busy")
    idle, took = report.split()
    assert idle == "True" and float(took) < 1.0, report


def test_aclose_waits_for_a_handler_without_blocking_its_loop(no_agent):
    seen = {}

    async def main():
        loop = asyncio.get_running_loop()
        mine = cli_agent.Agent(46, AGENT_NAME, loop=loop)
        entered = asyncio.Event()
        gate = asyncio.Event()

        async def slow_part():
            entered.set()
            await gate.wait()  # opened only once aclose() is waiting
            return "done"

        @mine.command("py_slow")
        def py_slow(args):
            seen["value"] = asyncio.run_coroutine_threadsafe(slow_part(), loop).result(WAIT)

        mine.start()
        proc = await asyncio.create_subprocess_exec(
            *server_args("py_slow"),
            stdin=asyncio.subprocess.DEVNULL,
            stdout=asyncio.subprocess.DEVNULL,
            stderr=asyncio.subprocess.DEVNULL,
        )
        try:
            await asyncio.wait_for(entered.wait(), WAIT)
            closing = asyncio.ensure_future(mine.aclose(timeout=WAIT))
            await asyncio.sleep(0)  # one turn: aclose() stops the agent and waits
            seen["running"] = mine.running
            gate.set()
            seen["idle"] = await asyncio.wait_for(closing, WAIT)
        finally:
            await asyncio.wait_for(proc.wait(), SERVER_TIMEOUT)

    asyncio.run(main())
    assert seen == {"running": False, "value": "done", "idle": True}


def test_async_def_handlers_run_on_the_agents_loop(no_agent):
    seen = {}

    async def main():
        loop = asyncio.get_running_loop()
        mine = cli_agent.Agent(47, AGENT_NAME, loop=loop)

        async def inner(word):
            await asyncio.sleep(0)
            cli_agent.print_buffered(f"inner {word}\n")  # from a task of its own

        @mine.command("py_coro", "an async def handler")
        async def py_coro(args):
            seen["thread"] = threading.get_ident()
            cli_agent.print("direct\0")
            await asyncio.sleep(0)
            cli_agent.print_buffered(f"{args[1]}\n")
            await asyncio.create_task(inner(args[1]))
            return 0

        async with mine:
            proc = await asyncio.create_subprocess_exec(
                *server_args("py_coro word"),
                stdin=asyncio.subprocess.DEVNULL,
                stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.PIPE,
            )
            out, err = await asyncio.wait_for(proc.communicate(), SERVER_TIMEOUT)
        assert proc.returncode == 0, err
        seen["out"] = out
        seen["loop"] = threading.get_ident()

    asyncio.run(main())
    assert seen["out"] == b"direct\0word\ninner word\n"
    assert seen["thread"] == seen["loop"]


def test_an_async_def_handler_without_a_loop_is_refused_at_once(agent):
    async def py_noloop(args):
        return 0

    with pytest.raises(TypeError, match="loop="):
        agent.command("py_noloop")(py_noloop)
    with pytest.raises(TypeError, match="loop="):
        cli_agent.register("py_noloop", "", py_noloop)
    assert b"Unknown command" in run_server("py_noloop").stdout
