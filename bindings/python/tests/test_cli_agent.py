"""The Python package over a real cli-server run: decorators, output byte for
byte, prompts, exceptions, options and an asyncio hand-off."""

import asyncio
import json
import subprocess
import threading

import pytest

import cli_agent
from conftest import SERVER_TIMEOUT, run_server, server_args


def test_decorated_handlers_receive_str_arguments_and_unregister(agent):
    seen = []

    @agent.command("py_echo", "echo from python")
    def py_echo(args):
        seen.append(args)
        cli_agent.print_buffered(" ".join(args[1:]) + "\n")
        return 3

    r = run_server("py_echo grüße 'two words'", "help")
    assert r.returncode == 6, r.stderr  # py_echo's result, 3, is a failure
    assert seen == [["py_echo", "grüße", "two words"]]
    out = r.stdout.decode()
    assert out.startswith("grüße two words\n")
    assert "py_echo" in out and "echo from python" in out

    with pytest.raises(cli_agent.AgentError):
        cli_agent.register("py_echo", "twice", py_echo)
    cli_agent.unregister("py_echo")
    r = run_server("py_echo again")
    assert b"Unknown command: py_echo" in r.stdout
    assert len(seen) == 1


def test_output_functions_keep_every_byte_in_order(agent):
    direct = b"100% sure %s %n\0" * 9000  # 144000 bytes, '%' and NUL bytes
    buffered = ("ünïcode %d " * 1500).encode()  # above the 8191-byte cut
    raw = bytes(range(256)) * 3

    @agent.command("py_bytes")
    def py_bytes(args):
        cli_agent.print_buffered(buffered)
        cli_agent.print(direct)
        cli_agent.print_buffered("|tail|")
        cli_agent.send(raw)
        cli_agent.dump(bytes(range(20)))

    try:
        r = run_server("py_bytes")
    finally:
        cli_agent.unregister("py_bytes")
    assert r.returncode == 0, r.stderr
    expected = (
        buffered
        + direct
        + b"|tail|"
        + raw
        + b"00000000: 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f \n"
        + b"00000010: 10 11 12 13 \n"
    )
    assert len(r.stdout) == len(expected)
    assert r.stdout == expected


def test_input_returns_the_operators_reply(agent):
    replies = []

    @agent.command("py_ask")
    def py_ask(args):
        name = cli_agent.input("Name? ")
        replies.append(name)
        cli_agent.print_buffered(f"hello {name}\n")

    try:
        r = run_server("py_ask", stdin=b"Ada Lovelace\n")
    finally:
        cli_agent.unregister("py_ask")
    assert r.returncode == 0, r.stderr
    assert replies == ["Ada Lovelace"]
    assert b"Name? " in r.stdout + r.stderr
    assert r.stdout.endswith(b"hello Ada Lovelace\n")
    with pytest.raises(RuntimeError, match="ainput"):
        cli_agent.input("outside a command")


def test_an_exception_ends_only_its_command(agent, caplog):
    @agent.command("py_fail")
    def py_fail(args):
        cli_agent.print_buffered("partial\n")
        raise ValueError("bad\nthing")

    @agent.command("py_ok")
    def py_ok(args):
        cli_agent.print_buffered("still serving\n")

    try:
        r = run_server("py_fail", "py_ok")
    finally:
        cli_agent.unregister("py_fail")
        cli_agent.unregister("py_ok")
    assert r.returncode == 6, r.stderr  # every command completed, one failed
    assert r.stdout == b"partial\npy_fail: ValueError: bad thing\nstill serving\n"
    failed = [r for r in caplog.records if r.name == "cli_agent" and r.exc_info]
    assert len(failed) == 1 and "py_fail" in failed[0].getMessage()
    assert failed[0].exc_info[0] is ValueError


def test_options_and_usage_errors(agent):
    parsed = []

    def usage(name):
        cli_agent.print_buffered(f"usage: {name} [-v] [-n N] WORDS\n")

    @agent.command("py_opts", usage=usage)
    def py_opts(args):
        for o in cli_agent.options(args, "vn:"):
            if o.opt == "?":
                cli_agent.usage_error(o.error)
                return 1
            parsed.append((o.opt, o.arg))
        return 0

    try:
        r = run_server("py_opts -v -n 0x10 word", "py_opts -q")
    finally:
        cli_agent.unregister("py_opts")
    assert r.returncode == 6, r.stderr  # the usage error returned 1
    assert parsed == [("v", None), ("n", "0x10"), (None, "word")]
    assert cli_agent.param_u64(parsed[1][1]) == 16
    assert r.stdout == b"invalid option -- 'q'\nusage: py_opts [-v] [-n N] WORDS\n"
    assert cli_agent.param_u32("0x100000000") is None
    assert cli_agent.param_pointer("0x1000") == 0x1000


def test_a_handlers_result_reaches_the_json_and_the_exit_status(agent):
    @agent.command("py_result")
    def py_result(args):
        if args[1] == "raise":
            raise RuntimeError("no")
        return None if args[1] == "none" else int(args[1])

    try:
        results = {}
        for arg, want in [("3", 3), ("0", 0), ("none", 0), ("-7", -7), ("raise", 1)]:
            r = subprocess.run(
                server_args(f"py_result {arg}") + ["--json"],
                capture_output=True,
                timeout=SERVER_TIMEOUT,
            )
            results[arg] = json.loads(r.stdout)["result"]
            assert r.returncode == (6 if want else 0), (arg, r.stderr)
            assert results[arg] == want, (arg, r.stdout)
    finally:
        cli_agent.unregister("py_result")


def test_handler_hands_work_to_the_event_loop(agent):
    async def main():
        loop = asyncio.get_running_loop()
        state = {"loop_thread": threading.get_ident()}

        async def lookup(key):
            await asyncio.sleep(0)
            state["ran_on"] = threading.get_ident()
            return key.upper()

        @agent.command("py_async")
        def py_async(args):
            state["handler_thread"] = threading.get_ident()
            value = asyncio.run_coroutine_threadsafe(lookup(args[1]), loop).result(10)
            cli_agent.print(f"{value}\n")

        try:
            proc = await asyncio.create_subprocess_exec(
                *server_args("py_async key"),
                stdin=asyncio.subprocess.DEVNULL,
                stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.PIPE,
            )
            out, err = await asyncio.wait_for(proc.communicate(), SERVER_TIMEOUT)
        finally:
            cli_agent.unregister("py_async")
        assert proc.returncode == 0, err
        assert out == b"KEY\n"
        assert state["ran_on"] == state["loop_thread"] != state["handler_thread"]

    asyncio.run(main())


def test_commands_come_and_go_on_another_thread_while_commands_run(agent):
    stop = threading.Event()
    failures = []

    def churn():
        for i in range(20000):  # a bound; normally ended by `stop`
            if stop.is_set():
                return
            try:
                cli_agent.register("py_churn", "comes and goes", lambda args: None)
                cli_agent.unregister("py_churn")
            except cli_agent.AgentError as e:
                failures.append(e)
                return

    @agent.command("py_steady")
    def py_steady(args):
        cli_agent.print_buffered(f"{args[1]}\n")

    worker = threading.Thread(target=churn)
    worker.start()
    try:
        r = run_server(*(f"py_steady {i}" for i in range(30)))
    finally:
        stop.set()
        worker.join(SERVER_TIMEOUT)
        cli_agent.unregister("py_steady")
    assert not worker.is_alive()
    assert failures == []
    assert r.returncode == 0, r.stderr
    assert r.stdout == "".join(f"{i}\n" for i in range(30)).encode()


@pytest.mark.parametrize(
    "call",
    [
        lambda: cli_agent.print(3),
        lambda: cli_agent.print_buffered(3),
        lambda: cli_agent.send(4),
        lambda: cli_agent.dump([1, 2]),
        lambda: cli_agent.usage_error(7),
        lambda: cli_agent.input(None),
        lambda: cli_agent.param_u32(5),
        lambda: cli_agent.param_u64(5.0),
        lambda: cli_agent.param_pointer(None),
        lambda: list(cli_agent.options(["cmd", 1], "v")),
        lambda: list(cli_agent.options("cmd -v", "v")),
        lambda: cli_agent.Agent("1", "name"),
        lambda: cli_agent.Agent(1, 1),
    ],
    ids=[
        "print", "print_buffered", "send", "dump", "usage_error", "input", "param_u32",
        "param_u64", "param_pointer", "options-arg", "options-one-text", "agent-id",
        "agent-name",
    ],
)
def test_anything_but_text_is_a_type_error(call, capfd):
    with pytest.raises(TypeError):
        call()
    assert capfd.readouterr().err == ""  # nothing was written instead


@pytest.mark.parametrize(
    "call, why",
    [
        (lambda: cli_agent.Agent(0, "name"), "1 to 4294967295"),
        (lambda: cli_agent.Agent(1 << 32, "name"), "1 to 4294967295"),
        (lambda: cli_agent.Agent(1, ""), "empty"),
        (lambda: cli_agent.Agent(1, "a\0b"), "NUL"),
        (lambda: cli_agent.Agent(1, "n" * 64), "at most 63"),
        (lambda: cli_agent.Agent(1, "n").command("x"), "not 2 to 19"),
        (lambda: cli_agent.Agent(1, "n").command("x" * 20), "not 2 to 19"),
        (lambda: cli_agent.Agent(1, "n").command("bad-name"), "letters, digits"),
        (lambda: cli_agent.Agent(1, "n").command("grüße"), "letters, digits"),
        (lambda: cli_agent.Agent(1, "n").command("help"), "reserved"),
        (lambda: cli_agent.Agent(1, "n").command("py_ok", "a\0b"), "NUL"),
        (lambda: cli_agent.register("attach", "", lambda a: 0), "reserved"),
    ],
)
def test_bad_ids_and_names_are_value_errors_saying_why(call, why):
    with pytest.raises(ValueError, match=why):
        call()


def test_a_bare_decorator_registers_under_the_functions_name(agent):
    @agent.command
    def py_bare(args):
        """the first docstring line is the description

        and the rest is not"""
        cli_agent.print_buffered("bare\n")

    try:
        r = run_server("py_bare", "help")
    finally:
        cli_agent.unregister("py_bare")
    assert callable(py_bare) and py_bare.__name__ == "py_bare"
    assert r.stdout.startswith(b"bare\n"), r.stdout
    assert b" py_bare          the first docstring line is the description\n" in r.stdout


def test_text_with_nul_bytes_goes_out_in_one_call(agent, monkeypatch):
    calls = {"cli_print": 0, "cli_send_buffer": 0, "cli_print_buffer": 0}
    lib = cli_agent._c
    for name in calls:
        real = getattr(lib, name)

        def counting(*args, _real=real, _name=name):
            calls[_name] += 1
            return _real(*args)

        monkeypatch.setattr(lib, name, counting)
    text = b"a\0" * (128 * 1024)  # 256 KiB, half of it NUL bytes

    @agent.command("py_nul")
    def py_nul(args):
        cli_agent.print_buffered(b"<" + text[:20000] + b">")
        cli_agent.print(text)
        cli_agent.print("%s\n")

    try:
        r = run_server("py_nul")
    finally:
        cli_agent.unregister("py_nul")
    assert r.stdout == b"<" + text[:20000] + b">" + text + b"%s\n"
    assert calls["cli_print"] == 0 and calls["cli_send_buffer"] == 2
    assert calls["cli_print_buffer"] < 100  # not one call per NUL byte


def test_text_after_a_flag_is_reported_not_dropped():
    def parsed(*args):
        return list(cli_agent.options(["cmd", *args], "vo:"))

    assert parsed("-vo5") == [
        cli_agent.Option(
            "?", None, "option -v takes no argument: 'o5' after it is not used"
            " (give each option on its own)"
        )
    ]
    assert parsed("-v5", "-o5", "-v")[0].opt == "?" and "'5'" in parsed("-v5")[0].error
    assert parsed("-o5", "-v", "w") == [("o", "5", None), ("v", None, None), (None, "w", None)]


def test_the_package_follows_python_conventions():
    import pathlib
    import pydoc

    namespace = {}
    exec("from cli_agent import *", namespace)
    assert "print" not in namespace and "input" not in namespace
    for name in ("register", "unregister", "wait_idle", "Agent", "options"):
        assert name in cli_agent.__all__
    for name in set(cli_agent.__all__) - {"Text", "Handler", "Usage"}:  # type aliases
        assert getattr(cli_agent, name).__doc__, name
    for name in ("print", "input", "start", "close", "aclose", "command", "sync_status"):
        obj = getattr(cli_agent, name, None) or getattr(cli_agent.Agent, name)
        assert obj.__doc__, name
    text = pydoc.render_doc(cli_agent, renderer=pydoc.plaintext)
    for name in ("register(", "unregister(", "wait_idle(", "aclose(", "param_u64(", "Option("):
        assert name in text, name
    # Defined in the package's modules, the public names are cli_agent's own
    # (help, tracebacks, pickle): cli_agent.AgentError, not its module's.
    for name in set(cli_agent.__all__) - {"Text", "Handler", "Usage", "OUTPUT_QUEUE_LIMIT"}:
        assert getattr(cli_agent, name).__module__ == "cli_agent", name
    assert cli_agent.print.__module__ == cli_agent.input.__module__ == "cli_agent"
    assert (pathlib.Path(cli_agent.__file__).parent / "py.typed").is_file()
    assert cli_agent.print_buffered.__annotations__ and cli_agent.Agent.start.__annotations__
