"""Agents over their lifetime: who owns which commands, stopping from inside
a handler, after fork(), and from an event loop, and async def handlers."""

import asyncio
import os
import select
import signal
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


# Async handlers and the event loop: a prompt does not stop the loop, input()
# off the agent thread says what to use instead, and a handler that returned
# has its command end before the agent says goodbye.


async def start_server_process(*lines, stdin=asyncio.subprocess.DEVNULL):
    return await asyncio.create_subprocess_exec(
        *server_args(*lines),
        stdin=stdin,
        stdout=asyncio.subprocess.PIPE,
        stderr=asyncio.subprocess.STDOUT,
    )


async def read_until_async(stream, marker):
    data = b""
    while marker not in data:
        chunk = await asyncio.wait_for(stream.read(4096), WAIT)
        assert chunk, f"the stream ended before {marker!r}; read {data!r}"
        data += chunk
    return data


def test_an_async_prompt_leaves_the_loop_serving_other_clients(no_agent):
    seen = {}

    async def main():
        loop = asyncio.get_running_loop()
        mine = cli_agent.Agent(48, AGENT_NAME, loop=loop)

        async def echo(reader, writer):
            writer.write(b"echo " + await reader.readline())
            await writer.drain()
            writer.close()

        service = await asyncio.start_server(echo, "127.0.0.1", 0)
        port = service.sockets[0].getsockname()[1]

        @mine.command("py_confirm")
        async def py_confirm(args):
            seen["reply"] = await cli_agent.ainput("Sure? ")
            cli_agent.print(f"got {seen['reply']}\n")

        async with mine:
            proc = await start_server_process("py_confirm", stdin=asyncio.subprocess.PIPE)
            out = await read_until_async(proc.stdout, b"Sure? ")
            # The prompt waits for the operator; the loop still answers.
            reader, writer = await asyncio.wait_for(
                asyncio.open_connection("127.0.0.1", port), WAIT
            )
            writer.write(b"ping\n")
            seen["echo"] = await asyncio.wait_for(reader.readline(), WAIT)
            writer.close()
            proc.stdin.write(b"yes\n")
            await proc.stdin.drain()
            rest, _ = await asyncio.wait_for(proc.communicate(), SERVER_TIMEOUT)
            seen["out"] = out + rest
            seen["rc"] = proc.returncode
        service.close()

    asyncio.run(main())
    assert seen["echo"] == b"echo ping\n"
    assert seen["reply"] == "yes"
    assert seen["rc"] == 0 and seen["out"].endswith(b"got yes\n"), seen["out"]


def test_sigterm_is_handled_while_an_async_prompt_waits(no_agent):
    seen = {}

    async def main():
        loop = asyncio.get_running_loop()
        stop = asyncio.Event()
        loop.add_signal_handler(signal.SIGTERM, stop.set)
        mine = cli_agent.Agent(49, AGENT_NAME, loop=loop)

        @mine.command("py_wait")
        async def py_wait(args):
            seen["reply"] = await cli_agent.ainput("Sure? ")

        try:
            async with mine:
                proc = await start_server_process("py_wait", stdin=asyncio.subprocess.PIPE)
                await read_until_async(proc.stdout, b"Sure? ")
                os.kill(os.getpid(), signal.SIGTERM)
                await asyncio.wait_for(stop.wait(), WAIT)
                signalled = time.monotonic()
            seen["took"] = time.monotonic() - signalled  # aclose(): the prompt ends
            try:
                proc.kill()  # it may have ended with the connection already
            except ProcessLookupError:
                pass
            await asyncio.wait_for(proc.communicate(), SERVER_TIMEOUT)
        finally:
            loop.remove_signal_handler(signal.SIGTERM)

    asyncio.run(main())
    assert seen["reply"] is None
    assert seen["took"] < 2.0, seen


def test_input_off_the_agent_thread_raises_and_names_the_awaitable(no_agent):
    seen = {}

    async def main():
        loop = asyncio.get_running_loop()
        mine = cli_agent.Agent(50, AGENT_NAME, loop=loop)

        @mine.command("py_exec")
        async def py_exec(args):
            for where, attempt in (
                ("executor", lambda: loop.run_in_executor(None, cli_agent.input, "x")),
                ("coroutine", lambda: asyncio.sleep(0, cli_agent.input("x"))),
            ):
                try:
                    await attempt()
                except RuntimeError as e:
                    seen[where] = str(e)

        async with mine:
            proc = await start_server_process("py_exec")
            await asyncio.wait_for(proc.communicate(), SERVER_TIMEOUT)

    asyncio.run(main())
    assert "await cli_agent.ainput(prompt)" in seen["executor"], seen
    assert "await cli_agent.ainput(prompt)" in seen["coroutine"], seen


def test_async_output_beyond_the_queue_limit_arrives_whole_and_in_order(no_agent):
    chunk = 64 * 1024
    count = 3 * cli_agent.OUTPUT_QUEUE_LIMIT // chunk
    seen = {}

    async def main():
        loop = asyncio.get_running_loop()
        mine = cli_agent.Agent(52, AGENT_NAME, loop=loop)

        @mine.command("py_flood")
        async def py_flood(args):
            for i in range(count):
                await cli_agent.aprint(bytes([65 + i % 26]) * chunk)
                await asyncio.sleep(0)
            cli_agent.print_buffered("end\n")
            await cli_agent.drain()

        async with mine:
            proc = await start_server_process("py_flood")
            out, _ = await asyncio.wait_for(proc.communicate(), SERVER_TIMEOUT)
            seen["out"], seen["rc"] = out, proc.returncode

    asyncio.run(main())
    expected = b"".join(bytes([65 + i % 26]) * chunk for i in range(count)) + b"end\n"
    assert seen["rc"] == 0
    assert len(seen["out"]) == len(expected) and seen["out"] == expected


def test_aclose_right_after_a_handler_returns_keeps_its_output(no_agent):
    """The output a handler queued reaches the operator before goodbye, and
    aclose() waits for the handler to leave the agent's run. (The command's
    end is written by the library after that; the library gives no signal
    for it, so aclose() leaves it a grace period rather than a guarantee,
    and the exit status is not checked here.)"""
    seen = {}

    async def main():
        loop = asyncio.get_running_loop()
        mine = cli_agent.Agent(51, AGENT_NAME, loop=loop)
        returned = asyncio.Event()

        @mine.command("py_last")
        async def py_last(args):
            cli_agent.print("last words\n")  # queued to the agent thread
            returned.set()  # aclose() runs as soon as this coroutine ends

        mine.start()
        proc = await start_server_process("py_last")
        await asyncio.wait_for(returned.wait(), WAIT)
        seen["idle"] = await mine.aclose(timeout=WAIT)
        seen["returning"] = cli_agent._agent._state.returning
        out, _ = await asyncio.wait_for(proc.communicate(), SERVER_TIMEOUT)
        seen["out"] = out

    for _ in range(5):
        asyncio.run(main())
        assert seen["idle"] and seen["returning"] == 0, seen
        assert seen["out"].startswith(b"last words\n"), seen
