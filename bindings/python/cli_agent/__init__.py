"""A command-line interface for a long-running Python service.

    import cli_agent

    agent = cli_agent.Agent(1, "mysvc")

    @agent.command("hello", "greets the operator")
    def hello(args):
        cli_agent.print(f"hello {' '.join(args[1:]) or 'world'}\\n")

    with agent:
        serve_forever()

One agent per process: Agent.start() (or `with agent:` / `async with
agent:`) registers the agent's commands and starts it, close() / aclose()
stops it and unregisters them; starting a second agent while one runs raises
AgentError. register() and unregister() manage commands that belong to no
agent.

Output and input inside a handler: print (sent at once), print_buffered
(sent when the command ends), send, dump, usage_error, and input (the
operator's reply). print and input are module functions (cli_agent.print,
cli_agent.input) left out of __all__, so `from cli_agent import *` does not
replace the built-ins of the same names. Every text argument is str (sent as
UTF-8) or bytes, bytearray or memoryview; anything else raises TypeError.

Threading: the library runs every command on its own agent thread, one at a
time. A handler is Python code on that thread: it holds the GIL while it
runs, like any thread, and the library's blocking calls (input() waiting for
the operator, output on a slow connection) release it. A plain handler must
not touch an asyncio event loop directly; it hands work to the loop with
asyncio.run_coroutine_threadsafe(coro, loop).result(timeout). An `async def`
handler runs on the loop given as Agent(..., loop=loop) (or register(...,
loop=loop)) while the agent thread waits for it, and the loop keeps serving:
its output calls are queued to the agent thread and carried out there, in
order, returning at once while less than OUTPUT_QUEUE_LIMIT bytes (1 MiB)
wait (beyond it `await drain()` or `await aprint(text)` waits without
blocking the loop; a plain call blocks it until the agent thread caught
up). It asks the operator with `await ainput(prompt)`; input() works only in
a plain handler on the agent thread and raises RuntimeError anywhere else
(a coroutine, an executor thread). The output functions act on the command
running on the calling thread (or the async handler's command, in the tasks
it starts too); anywhere else print/print_buffered/dump write to standard
error and the others do nothing.

Which thread runs what, for a service with an event loop: plain handlers
run on the agent thread and reach the loop only through
asyncio.run_coroutine_threadsafe; async handlers run on the loop. A reply
holding a NUL byte is cut there (the C API's cli_get_input returns a C
string), by input() and ainput() alike.

Type aliases for annotations: Text (str, bytes, bytearray or memoryview),
Handler (handler(args: list[str]) -> int | None, or an async def) and Usage
(usage(name: str) -> None). What a handler returns is the command's result
(None is 0); cli-server shows a non-zero one and its scripts exit 6.

Exceptions: an exception leaving a handler ends that command only, with
result 1. The operator sees one line "NAME: Type: message" after the
output so far; the traceback goes to logging.getLogger("cli_agent")
(standard error when logging is not configured). The process goes on.

Lifetime: commands are dispatched through two ctypes callbacks that live as
long as the module, and the Python functions stay referenced while they are
registered and while a run of them is in progress. After os.fork() the child
has no agent and no command running; the registrations are inherited.
"""

from __future__ import annotations

import asyncio
import atexit
import contextvars
import ctypes
import functools
import inspect
import logging
import os
import queue
import re
import threading
import time
from typing import (
    Any,
    Callable,
    Dict,
    Iterator,
    List,
    NamedTuple,
    Optional,
    Sequence,
    Tuple,
    Union,
)

from . import _lib

__all__ = [
    "Agent",
    "AgentError",
    "Handler",
    "Option",
    "Text",
    "OUTPUT_QUEUE_LIMIT",
    "Usage",
    "ainput",
    "aprint",
    "drain",
    "dump",
    "options",
    "param_pointer",
    "param_u32",
    "param_u64",
    "print_buffered",
    "register",
    "send",
    "unregister",
    "usage_error",
    "wait_idle",
]

Text = Union[str, bytes, bytearray, memoryview]
"""What the output functions take: str is sent as UTF-8 (lone surrogates
from undecodable input go back as the bytes they came from)."""

Handler = Callable[[List[str]], Any]
"""handler(args) -> int | None, or an `async def` with the same signature;
args[0] is the command name."""

Usage = Callable[[str], None]
"""usage(name): prints the command's usage text, called by usage_error()."""

_c = _lib.load()
_log = logging.getLogger("cli_agent")

# One cli_print call keeps at most 65535 bytes and one cli_print_buffer call
# 8191. Text goes through them as "%.*s" runs and NUL bytes as "%c", several
# pieces to a call; inside a command direct output is sent raw instead, which
# needs no formatting at all.
_DIRECT_PIECE = 65535
_BUFFERED_PIECE = 8191
_FORMAT_ARGS = 600  # far below what one ctypes call may pass
_RAW_PIECE = 1 << 30  # a multiple of 16: dump lines stay whole

_RESERVED = ("help", "ls", "quit", "exit", "attach")
_NAME_CHARS = re.compile(r"[A-Za-z0-9_]+\Z")
_AGENT_NAME_MAX = 63
_ID_MAX = 0xFFFFFFFF


class AgentError(OSError):
    """The agent could not be started or a command could not be registered."""


def _to_bytes(value: object, what: str) -> bytes:
    if isinstance(value, str):
        return value.encode("utf-8", "surrogateescape")
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise TypeError(
        f"cli_agent: {what} must be str, bytes, bytearray or memoryview, "
        f"not {type(value).__name__}"
    )


def _to_str(raw: bytes) -> str:
    return raw.decode("utf-8", "surrogateescape")


# ---------------------------------------------------------------------------
# Where output goes. `_here.run` is set on the agent thread while a handler
# runs; `_async_run` follows an async handler's coroutine (and the tasks it
# starts) on the event loop, whose calls are carried out on the agent thread.

_here = threading.local()


# Output a coroutine may queue to the agent thread before it has to wait.
OUTPUT_QUEUE_LIMIT = 1 << 20
"""Bytes of output an async handler's coroutine may have queued to the agent
thread (print, print_buffered, send, dump, usage_error return at once below
it). Beyond it `await cli_agent.drain()` (or `await cli_agent.aprint(...)`)
waits without blocking the event loop; a plain output call made beyond it
blocks the loop until the agent thread has caught up."""

_Finish = Callable[[bool, Any], None]
_Item = Tuple[Callable[..., Any], tuple, _Finish]


class _Run:
    """One command in progress on the agent thread. Calls made for it from
    another thread queue up here until the agent thread carries them out;
    `lock` makes "still active" and "queued" one step, so no call is queued
    after the agent thread stopped serving. `queued` counts the bytes of
    output queued without waiting (OUTPUT_QUEUE_LIMIT); `outcome` is what
    an async handler's coroutine returned or raised, set on the loop."""

    def __init__(self) -> None:
        self.calls: "queue.SimpleQueue[Optional[_Item]]" = queue.SimpleQueue()
        self.lock = threading.Condition()
        self.active = True
        self.queued = 0
        self.room_waiters: List[Tuple[asyncio.AbstractEventLoop, "asyncio.Future[None]"]] = []
        self.returned = False  # the handler returned; guarded by _state.lock
        self.outcome: Optional[Tuple[bool, Any]] = None

    def call(self, fn: Callable[..., Any], args: tuple) -> Any:
        box: list = []
        done = threading.Event()

        def finish(failed: bool, value: Any) -> None:
            box[:] = [failed, value]
            done.set()

        with self.lock:
            if not self.active:
                return fn(*args)
            self.calls.put((fn, args, finish))
        done.wait()
        if box[0]:
            raise box[1]
        return box[1]

    def submit(self, fn: Callable[..., Any], args: tuple, finish: _Finish) -> bool:
        """Queues fn(*args) without waiting; finish(failed, value) is called
        on the agent thread. False once the command has ended."""
        with self.lock:
            if self.active:
                self.calls.put((fn, args, finish))
            return self.active

    def post(self, fn: Callable[..., Any], args: tuple, size: int) -> bool:
        """Queues output without waiting for it, waiting only while the
        queue is beyond OUTPUT_QUEUE_LIMIT; False once the command ended."""
        with self.lock:
            self.lock.wait_for(lambda: self.queued < OUTPUT_QUEUE_LIMIT or not self.active)
            if not self.active:
                return False
            self.queued += size
            self.calls.put((fn, args, functools.partial(self._posted, size)))
        return True

    def _posted(self, size: int, failed: bool, value: Any) -> None:
        if failed:
            _log.error("queued output failed", exc_info=value)
        with self.lock:
            self.queued -= size
            self.lock.notify_all()
            if self.queued < OUTPUT_QUEUE_LIMIT:
                self._wake_room_waiters()

    def _wake_room_waiters(self) -> None:
        waiters, self.room_waiters = self.room_waiters, []
        for loop, fut in waiters:
            try:
                loop.call_soon_threadsafe(_wake, fut)
            except RuntimeError:  # that loop is closed: nobody waits there
                pass

    async def room(self) -> None:
        loop = asyncio.get_running_loop()
        while True:
            with self.lock:
                if self.queued < OUTPUT_QUEUE_LIMIT or not self.active:
                    return
                fut: asyncio.Future[None] = loop.create_future()
                self.room_waiters.append((loop, fut))
            await fut

    def serve_one(self, item: _Item) -> None:
        fn, args, finish = item
        try:
            value = fn(*args)
        except BaseException as e:  # handed back to the caller
            finish(True, e)
            return
        finish(False, value)

    def finish(self) -> None:
        with self.lock:
            self.active = False
            self.lock.notify_all()
            self._wake_room_waiters()
        while True:
            try:
                item = self.calls.get_nowait()
            except queue.Empty:
                return
            if item is not None:
                self.serve_one(item)


_async_run: contextvars.ContextVar[Optional[_Run]] = contextvars.ContextVar(
    "cli_agent_run", default=None
)


def _in_command() -> bool:
    return getattr(_here, "run", None) is not None


def _output(fn: Callable[..., Any], size: int, *args: Any) -> None:
    """Output for the command of the caller. From an async handler's
    coroutine it is queued to the agent thread and the call returns at once
    (below OUTPUT_QUEUE_LIMIT), so the event loop never waits for a slow
    connection."""
    run = _async_run.get()
    if run is None or getattr(_here, "run", None) is run:
        fn(*args)
    elif not run.post(fn, args, size):
        fn(*args)


def _emit(fn: Any, data: bytes, limit: int) -> None:
    fmt: List[bytes] = []
    args: List[Any] = []
    size = 0
    for m in re.finditer(rb"\0|[^\0]+", data):
        piece = m.group()
        while piece:
            if len(args) + 2 > _FORMAT_ARGS or size == limit:
                fn(b"".join(fmt), *args)
                fmt, args, size = [], [], 0
            if piece == b"\0":
                fmt.append(b"%c")
                args.append(ctypes.c_int(0))
                size += 1
                piece = b""
            else:
                part, piece = piece[: limit - size], piece[limit - size :]
                fmt.append(b"%.*s")
                args += [ctypes.c_int(len(part)), ctypes.c_char_p(part)]
                size += len(part)
    if fmt:
        fn(b"".join(fmt), *args)


def _pieces(data: bytes) -> Iterator[Tuple[bytes, int]]:
    for start in range(0, len(data), _RAW_PIECE):
        chunk = data[start : start + _RAW_PIECE]
        yield chunk, len(chunk)


def _send_raw(data: bytes) -> None:
    for chunk, n in _pieces(data):
        _c.cli_send_buffer(chunk, n)


def _print_now(data: bytes) -> None:
    if _in_command():
        _send_raw(data)  # one call whatever the bytes: no format, no NUL cut
    else:
        _emit(_c.cli_print, data, _DIRECT_PIECE)


def print(text: Text) -> None:  # noqa: A001 - used as cli_agent.print, not in __all__
    """Sends text at once, after whatever was buffered before it; every
    byte is kept, NUL bytes included. Outside a command: standard error."""
    data = _to_bytes(text, "text")
    _output(_print_now, len(data), data)


def print_buffered(text: Text) -> None:
    """Appends text to the command's output, sent when the command ends or
    before the next direct output, prompt or raw send. Outside a command:
    standard error."""
    data = _to_bytes(text, "text")
    _output(_emit, len(data), _c.cli_print_buffer, data, _BUFFERED_PIECE)


def send(data: Text) -> None:
    """Sends raw bytes at once, after the buffered output; nothing outside a command."""
    raw = _to_bytes(data, "data")
    _output(_send_raw, len(raw), raw)


def _dump_now(data: bytes) -> None:
    for chunk, n in _pieces(data):
        _c.cli_print_memory(chunk, n)


def dump(data: Text) -> None:
    """Buffered hexadecimal dump of the bytes ("%08x: " offset, "%02x " each)."""
    raw = _to_bytes(data, "data")
    _output(_dump_now, len(raw) * 4, raw)


def _usage_error_now(message: Optional[bytes]) -> None:
    if message:
        _emit(
            _c.cli_print_buffer,
            message if message.endswith(b"\n") else message + b"\n",
            _BUFFERED_PIECE,
        )
    _c.cli_show_usage_and_error(None)


def usage_error(message: Optional[Text] = None) -> None:
    """The message as one buffered line, then the running command's usage
    text (the usage function it was registered with)."""
    raw = None if message is None else _to_bytes(message, "message")
    _output(_usage_error_now, len(raw or b"") + 1, raw)


def _input_now(prompt: bytes) -> Optional[str]:
    # cli_get_input gives a C string: a reply is cut at its first NUL byte.
    buf = ctypes.create_string_buffer(_lib.FRAME_MAX_DATA + 1)
    if _c.cli_get_input(prompt, buf, len(buf)) != 0:
        return None
    return _to_str(buf.value)


def input(prompt: Text = ":") -> Optional[str]:  # noqa: A001 - not in __all__
    """Shows the prompt and waits for the operator's reply (no time-out);
    None when the connection ends. Only in a plain handler, on the agent
    thread: anywhere else (an async handler's coroutine, an executor thread,
    no command at all) it raises RuntimeError, since it would block that
    thread or could not prompt. From async code: await ainput(prompt)."""
    raw = _to_bytes(prompt, "prompt")
    if not _in_command():
        raise RuntimeError(
            "cli_agent.input() works only in a plain handler on the agent thread;"
            " from async code use `await cli_agent.ainput(prompt)`"
        )
    return _input_now(raw)


def _settle(fut: "asyncio.Future[Any]", failed: bool, value: Any) -> None:
    if fut.done():  # the awaiting coroutine was cancelled
        return
    if failed:
        fut.set_exception(value)
    else:
        fut.set_result(value)


async def ainput(prompt: Text = ":") -> Optional[str]:
    """input() for an async handler (and the tasks it starts): the agent
    thread shows the prompt and waits for the reply while the event loop
    keeps serving. The reply, or None when the connection ended or the
    command is over. Cancelling the await leaves the prompt to the operator:
    the agent thread waits on until the reply comes or the agent stops."""
    raw = _to_bytes(prompt, "prompt")
    run = _async_run.get()
    if run is None or getattr(_here, "run", None) is run:
        if _in_command():  # a coroutine run on the agent thread itself
            return _input_now(raw)
        raise RuntimeError(
            "cli_agent.ainput() works only in an async def handler or a task it started"
        )
    loop = asyncio.get_running_loop()
    fut: asyncio.Future[Optional[str]] = loop.create_future()

    def finish(failed: bool, value: Any) -> None:
        try:
            loop.call_soon_threadsafe(_settle, fut, failed, value)
        except RuntimeError:  # the loop is closed: nobody waits for the reply
            pass

    if not run.submit(_input_now, (raw,), finish):
        return None
    return await fut


async def drain() -> None:
    """Waits, without blocking the event loop, until the output an async
    handler queued is below OUTPUT_QUEUE_LIMIT. Returns at once elsewhere."""
    run = _async_run.get()
    if run is not None and getattr(_here, "run", None) is not run:
        await run.room()


async def aprint(text: Text) -> None:
    """print() from an async handler, then drain(): a coroutine that prints
    a lot waits here instead of blocking the loop."""
    print(text)
    await drain()


class Option(NamedTuple):
    """One result of options(): opt is the option letter, "?" for an error
    (its message in error) or None for a non-option argument (in arg)."""

    opt: Optional[str]
    arg: Optional[str]
    error: Optional[str]


def options(args: Sequence[Text], optstring: Text) -> Iterator[Option]:
    """Yields the options of an argument list (args[0] is the command name)
    as parsed by cli_get_option: -b80 and -b 80 alike. Options are not
    grouped: text after a flag (the "o5" of -vo5, the "5" of -v5), which the
    parser ignores, is reported as an error instead of the flag."""
    if isinstance(args, (str, bytes, bytearray, memoryview)):
        raise TypeError("cli_agent: args must be a list of arguments, not one text")
    encoded = [_to_bytes(a, "an argument") for a in args]
    argv = (ctypes.c_char_p * (len(encoded) + 1))(*encoded)
    optspec = _to_bytes(optstring, "optstring")
    state = _lib.OptionState()
    while True:
        at = state.optind if state.optind > 0 else 1
        rc = _c.cli_get_option(len(encoded), argv, optspec, ctypes.byref(state))
        if rc == -1:
            return
        arg = _to_str(state.optarg) if state.optarg is not None else None
        if rc == 1:
            yield Option(None, arg, None)
        elif rc == ord("?") and state.errmsg:
            yield Option("?", None, _to_str(state.errmsg))
        elif arg is None and len(encoded[at]) > 2:
            letter = _to_str(encoded[at][1:2])
            tail = _to_str(encoded[at][2:])
            yield Option(
                "?",
                None,
                f"option -{letter} takes no argument: '{tail}' after it is not used"
                " (give each option on its own)",
            )
        else:
            yield Option(chr(rc), arg, None)


def _param(fn: Any, ctype: Any, s: Text) -> Optional[int]:
    out = ctype()
    if fn(_to_bytes(s, "the parameter"), ctypes.byref(out)) != 0:
        return None
    return out.value or 0


def param_u64(s: Text) -> Optional[int]:
    """Strict unsigned 64-bit number (decimal, 0x hex, 0 octal) or None."""
    return _param(_c.cli_get_param_u64, ctypes.c_uint64, s)


def param_u32(s: Text) -> Optional[int]:
    """Strict unsigned 32-bit number or None."""
    return _param(_c.cli_get_param_u32, ctypes.c_uint32, s)


def param_pointer(s: Text) -> Optional[int]:
    """An address as an int, or None."""
    return _param(_c.cli_get_param_pointer, ctypes.c_void_p, s)


# ---------------------------------------------------------------------------
# Commands. `_commands` (name -> _Entry) mirrors the library's table for the
# names this package registered. `_state.lock` guards `_commands`,
# `_state.running` and `_state.waiters`; it is never held while a handler
# runs. `_state.registration` serialises whole registrations and agent
# starts and stops, so `_commands` and the library's table agree on every
# name; the dispatchers never take it. A forked child gets a fresh `_state`:
# its locks may have been held by a thread the child does not have, and no
# handler runs in it.


class _Entry(NamedTuple):
    handler: Handler
    usage: Optional[Usage]
    loop: Optional[asyncio.AbstractEventLoop]
    owner: Optional["Agent"]


class _State:
    def __init__(self) -> None:
        self.lock = threading.Condition()
        self.registration = threading.RLock()
        self.running = 0
        self.returning = 0  # handlers that returned, still on their way out
        self.waiters: List[Tuple[asyncio.AbstractEventLoop, "asyncio.Future[None]"]] = []
        self.agent: Optional[Agent] = None


_state = _State()
_commands: Dict[str, _Entry] = {}


def _one_line(name: str, exc: BaseException) -> str:
    text = f"{name}: {type(exc).__name__}: {exc}".replace("\r", " ").replace("\n", " ")
    return text.rstrip() + "\n"


def _report(name: str, exc: BaseException) -> None:
    try:
        _log.error("command %r failed", name, exc_info=(type(exc), exc, exc.__traceback__))
    except BaseException:  # nothing may escape into the library
        pass
    try:
        print_buffered(_one_line(name, exc))
    except BaseException:
        pass


def _wake(fut: "asyncio.Future[None]") -> None:
    if not fut.done():
        fut.set_result(None)


def _returned(st: _State, run: _Run) -> None:
    with st.lock:
        if not run.returned:
            run.returned = True
            st.returning += 1


def _finished(st: _State, run: _Run) -> None:
    with st.lock:
        st.running -= 1
        if run.returned:
            st.returning -= 1
        st.lock.notify_all()
        waiters, st.waiters = st.waiters, []
    for loop, fut in waiters:
        try:
            loop.call_soon_threadsafe(_wake, fut)
        except RuntimeError:  # that loop is closed: nobody waits there
            pass


_LOOP_POLL = 0.25  # seconds between checks that the loop still runs


def _await_on_loop(name: str, awaitable: Any, loop: asyncio.AbstractEventLoop, run: _Run) -> Any:
    # The outcome is handed to the agent thread from inside the task, as
    # the coroutine ends: the agent thread (and the command's DONE) need not
    # wait for the loop to run the future's callbacks first.
    async def as_command() -> None:
        _async_run.set(run)
        try:
            run.outcome = (False, await awaitable)
        except BaseException as e:  # handed to the agent thread
            run.outcome = (True, e)
            if not isinstance(e, (Exception, asyncio.CancelledError)):
                raise
        finally:
            _returned(_state, run)
            run.calls.put(None)

    coro = as_command()
    try:
        fut = asyncio.run_coroutine_threadsafe(coro, loop)
    except BaseException:
        coro.close()
        if inspect.iscoroutine(awaitable):
            awaitable.close()
        raise RuntimeError(f"the event loop of {name!r} is closed") from None
    fut.add_done_callback(lambda _f: run.calls.put(None))
    idle_polls = 0
    try:
        while True:
            try:
                item = run.calls.get(timeout=_LOOP_POLL)
            except queue.Empty:
                idle_polls = 0 if loop.is_running() else idle_polls + 1
                if idle_polls >= 2 or loop.is_closed():
                    fut.cancel()
                    raise RuntimeError(f"the event loop of {name!r} is not running")
                continue
            if item is None:
                break
            run.serve_one(item)
    finally:
        run.finish()
    if run.outcome is None:  # the coroutine never ran
        return fut.result()
    failed, value = run.outcome
    if failed:
        raise value
    return value


def _dispatch(argc: int, argv: Any) -> int:
    try:
        args = [_to_str(argv[i]) for i in range(argc)]
        name = args[0] if args else ""
        st = _state
        with st.lock:
            entry = _commands.get(name)
            if entry is not None:
                st.running += 1
        if entry is None:
            print_buffered(f"{name}: command was removed\n")
            return 1
        run = _Run()
        _here.run = run
        try:
            rc = entry.handler(args)
            if inspect.isawaitable(rc):
                if entry.loop is None:
                    if inspect.iscoroutine(rc):
                        rc.close()
                    raise TypeError(
                        "the handler returned an awaitable but has no event loop: "
                        "register it with loop=..."
                    )
                rc = _await_on_loop(name, rc, entry.loop, run)
            _returned(st, run)
            return int(rc) if rc is not None else 0
        except BaseException as e:
            _report(name, e)
            return 1
        finally:
            run.finish()
            _here.run = None
            _finished(st, run)
    except BaseException:
        return 1


def _dispatch_usage(cmd: Any, _flags: int) -> None:
    name = ""
    try:
        name = _to_str(cmd.contents.name)
        with _state.lock:
            entry = _commands.get(name)
        if entry is not None and entry.usage is not None:
            entry.usage(name)
    except BaseException as e:
        _report(name, e)


# Module-lifetime callbacks: the library may call them until every command
# is unregistered.
_HANDLER = _lib.HANDLER(_dispatch)
_USAGE = _lib.USAGE(_dispatch_usage)


def _check_name(name: object) -> str:
    if not isinstance(name, str):
        raise TypeError(f"cli_agent: a command name must be str, not {type(name).__name__}")
    why = None
    if not 2 <= len(name) <= _lib.CMD_NAME_LEN - 1:
        why = f"has {len(name)} characters, not 2 to {_lib.CMD_NAME_LEN - 1}"
    elif not _NAME_CHARS.match(name):
        why = "may hold only ASCII letters, digits and '_'"
    elif name in _RESERVED:
        why = "is reserved (" + ", ".join(_RESERVED) + ")"
    if why:
        raise ValueError(f"cli_agent: command name {name!r} {why}")
    return name


def _check_desc(desc: object) -> bytes:
    raw = _to_bytes(desc, "a description")
    if b"\0" in raw:
        raise ValueError("cli_agent: a description cannot hold a NUL byte")
    return raw[: _lib.CMD_DESC_LEN - 1]


def _is_async(fn: object) -> bool:
    while isinstance(fn, functools.partial):
        fn = fn.func
    return inspect.iscoroutinefunction(fn) or inspect.iscoroutinefunction(
        getattr(fn, "__call__", None)
    )


def _make_entry(
    name: str,
    handler: object,
    usage: object,
    loop: object,
    owner: Optional["Agent"],
) -> _Entry:
    if not callable(handler):
        raise TypeError(f"cli_agent: the handler of {name!r} must be callable")
    if usage is not None and not callable(usage):
        raise TypeError(f"cli_agent: the usage function of {name!r} must be callable")
    if usage is not None and _is_async(usage):
        raise TypeError(f"cli_agent: the usage function of {name!r} must be a plain function")
    if loop is not None and not isinstance(loop, asyncio.AbstractEventLoop):
        raise TypeError("cli_agent: loop must be an asyncio event loop")
    if _is_async(handler) and loop is None:
        raise TypeError(
            f"cli_agent: {name!r} is an async def handler and needs the event loop it runs"
            " on: Agent(id, name, loop=asyncio.get_running_loop()) or register(..., loop=loop)"
        )
    return _Entry(handler, usage, loop, owner)  # type: ignore[arg-type]


def _descriptor(name: str, desc: bytes = b"", with_usage: bool = False) -> Any:
    cmd = _lib.Command()
    cmd.name = name.encode("ascii")
    cmd.desc = desc
    cmd.handler = _HANDLER
    cmd.usage = _USAGE if with_usage else _lib.USAGE()
    return cmd


def _register_locked(name: str, desc: bytes, entry: _Entry) -> None:
    descriptor = _descriptor(name, desc, entry.usage is not None)
    with _state.lock:
        if name in _commands:
            raise AgentError(f"cli_agent: command {name!r} is already registered")
        _commands[name] = entry
    if _c.cli_register_command(ctypes.byref(descriptor)) != 0:
        with _state.lock:
            _commands.pop(name, None)
        raise AgentError(
            f"cli_agent: cannot register command {name!r} (the table of "
            "256 commands is full, or another part of the process holds the name)"
        )


def _unregister_locked(name: str) -> Optional[_Entry]:
    _c.cli_unregister_command(ctypes.byref(_descriptor(name)))
    with _state.lock:
        return _commands.pop(name, None)


def register(
    name: str,
    desc: Text,
    handler: Handler,
    usage: Optional[Usage] = None,
    *,
    loop: Optional[asyncio.AbstractEventLoop] = None,
) -> None:
    """Registers handler(args) -> int | None as command `name`, outside any
    agent; usage(name) is shown by usage_error(). An `async def` handler
    needs the loop it runs on. Raises ValueError for a bad name, TypeError
    for a wrong argument, AgentError when the name is taken or the table
    full."""
    _check_name(name)
    raw_desc = _check_desc(desc)
    entry = _make_entry(name, handler, usage, loop, None)
    with _state.registration:
        _register_locked(name, raw_desc, entry)


def unregister(name: str) -> None:
    """Removes command `name` (also from the agent it was declared on, so
    the agent's next start does not bring it back); a run in progress
    finishes."""
    if not isinstance(name, str):
        raise TypeError(f"cli_agent: a command name must be str, not {type(name).__name__}")
    with _state.registration:
        entry = _unregister_locked(name)
        if entry is not None and entry.owner is not None:
            entry.owner._declared.pop(name, None)


def _own_runs() -> int:
    """1 when the caller is a handler (or an async handler's coroutine):
    waiting for that run would wait for itself."""
    if _in_command():
        return 1
    run = _async_run.get()
    return 1 if run is not None and run.active else 0


def wait_idle(timeout: Optional[float]) -> bool:
    """Waits until no handler runs other than the caller's own (None: no
    time limit); False on time-out. Never call it on an event loop that a
    handler may be waiting for: use `await Agent.aclose()` there."""
    mine = _own_runs()
    st = _state
    with st.lock:
        return st.lock.wait_for(lambda: st.running <= mine, timeout)


async def _wait_state_async(done: Callable[[_State], bool], timeout: Optional[float]) -> bool:
    loop = asyncio.get_running_loop()
    deadline = None if timeout is None else time.monotonic() + timeout
    st = _state
    while True:
        with st.lock:
            if done(st):
                return True
            fut: asyncio.Future[None] = loop.create_future()
            st.waiters.append((loop, fut))
        left = None if deadline is None else deadline - time.monotonic()
        try:
            if left is not None and left <= 0:
                return False
            await asyncio.wait_for(fut, left)
        except asyncio.TimeoutError:
            return False
        finally:
            with st.lock:
                if (loop, fut) in st.waiters:
                    st.waiters.remove((loop, fut))


async def _wait_idle_async(timeout: Optional[float]) -> bool:
    mine = _own_runs()
    return await _wait_state_async(lambda st: st.running <= mine, timeout)


# A handler that has returned is on its way out of the agent thread's run;
# close() and aclose() let it finish (its output and the end of the command
# reach the operator) before the agent says goodbye: they wait until it has
# left Python, for at most _RETURNED_WAIT (its last output may be stuck on a
# server that stopped reading), and then _DONE_GRACE more, in which the
# library writes the command's end. The library offers no signal for that
# last step, so this grace is a bound, not a guarantee, on a loaded machine.
_RETURNED_WAIT = 2.0
_DONE_GRACE = 0.05


def _finishing() -> bool:
    with _state.lock:
        return _state.returning > 0


def _wait_returned() -> None:
    if not _finishing():
        return
    st = _state
    with st.lock:
        st.lock.wait_for(lambda: st.returning == 0, _RETURNED_WAIT)
    time.sleep(_DONE_GRACE)


async def _wait_returned_async() -> None:
    if not _finishing():
        return
    await _wait_state_async(lambda st: st.returning == 0, _RETURNED_WAIT)
    await asyncio.sleep(_DONE_GRACE)


_LOOP_CLOSE_TIMEOUT = 5.0  # close() on a loop thread never waits longer


def _loop_here() -> Optional[asyncio.AbstractEventLoop]:
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None


class Agent:
    """The process's agent: started by start(), `with` or `async with`,
    stopped by close() or aclose().

    Commands declared with command() belong to this agent: they are
    registered while it runs and unregistered when it stops, and a later
    start registers them again. Only one agent runs in a process at a time.
    `loop` is the event loop on which this agent's `async def` handlers
    run."""

    def __init__(
        self,
        agent_id: int,
        name: Text,
        *,
        loop: Optional[asyncio.AbstractEventLoop] = None,
    ) -> None:
        if isinstance(agent_id, bool) or not isinstance(agent_id, int):
            raise TypeError(f"cli_agent: the agent id must be an int, not {type(agent_id).__name__}")
        if not 1 <= agent_id <= _ID_MAX:
            raise ValueError(f"cli_agent: the agent id must be 1 to {_ID_MAX}, not {agent_id}")
        raw = _to_bytes(name, "the agent name")
        if not raw:
            raise ValueError("cli_agent: the agent name is empty")
        if b"\0" in raw:
            raise ValueError("cli_agent: the agent name cannot hold a NUL byte")
        if len(raw) > _AGENT_NAME_MAX:
            raise ValueError(
                f"cli_agent: the agent name has {len(raw)} bytes, at most {_AGENT_NAME_MAX}"
            )
        if loop is not None and not isinstance(loop, asyncio.AbstractEventLoop):
            raise TypeError("cli_agent: loop must be an asyncio event loop")
        self._id = agent_id
        self._name = name if isinstance(name, str) else _to_str(raw)
        self._raw_name = raw
        self._loop = loop
        self._declared: Dict[str, Tuple[bytes, _Entry]] = {}

    @property
    def id(self) -> int:
        """The agent id (1 to 4294967295) the server knows this agent by."""
        return self._id

    @property
    def name(self) -> str:
        """The agent name the server shows."""
        return self._name

    @property
    def loop(self) -> Optional[asyncio.AbstractEventLoop]:
        """The event loop of this agent's async def handlers, or None."""
        return self._loop

    @property
    def running(self) -> bool:
        """Whether this agent is the process's running agent."""
        return _state.agent is self

    def start(self) -> "Agent":
        """Registers this agent's commands and starts the agent; returns it.
        AgentError when another agent runs in this process, a command cannot
        be registered, or the library cannot start the agent thread."""
        with _state.registration:
            other = _state.agent
            if other is self:
                return self
            if other is not None:
                raise AgentError(
                    f"cli_agent: agent {other.id} ({other.name!r}) already runs in this "
                    f"process; close it before starting agent {self.id} ({self.name!r})"
                )
            done: List[str] = []
            try:
                for name, (desc, entry) in self._declared.items():
                    _register_locked(name, desc, entry)
                    done.append(name)
                if _c.cli_agent_init(self.id, self._raw_name) != 0:
                    raise AgentError(f"cli_agent: cannot start agent {self.id} ({self.name!r})")
            except BaseException:
                for name in done:
                    _unregister_locked(name)
                raise
            _state.agent = self
        return self

    def command(
        self,
        name: Union[str, Handler, None] = None,
        desc: Text = "",
        usage: Optional[Usage] = None,
    ) -> Any:
        """Decorator: @agent.command("name", "description", usage=fn).

        Bare @agent.command uses the function's name and the first line of
        its docstring. The name is checked here (ValueError); the command
        is registered now if the agent runs, else at start()."""
        if callable(name):
            fn = name
            doc = (inspect.getdoc(fn) or "").strip().splitlines()
            self._declare(_check_name(getattr(fn, "__name__", None)), doc[0] if doc else "", fn, None)
            return fn
        cmd_name = _check_name(name)
        raw_desc = _check_desc(desc)
        if usage is not None and not callable(usage):
            raise TypeError(f"cli_agent: the usage function of {cmd_name!r} must be callable")

        def register_handler(fn: Handler) -> Handler:
            self._declare(cmd_name, raw_desc, fn, usage)
            return fn

        return register_handler

    def _declare(self, name: str, desc: Text, fn: object, usage: object) -> None:
        raw_desc = _check_desc(desc)
        entry = _make_entry(name, fn, usage, self._loop, self)
        with _state.registration:
            if name in self._declared:
                raise AgentError(f"cli_agent: command {name!r} is already declared on this agent")
            if _state.agent is self:
                _register_locked(name, raw_desc, entry)
            self._declared[name] = (raw_desc, entry)

    def _stop(self) -> None:
        with _state.registration:
            if _state.agent is self:
                _c.cli_agent_destroy(self.id)
                _state.agent = None
            for name in self._declared:
                with _state.lock:
                    mine = _commands.get(name)
                if mine is not None and mine.owner is self:
                    _unregister_locked(name)

    def close(self, timeout: Optional[float] = None) -> bool:
        """Stops the agent, unregisters its commands and waits for a handler
        still running (None: until it ends; a handler blocked on the
        connection is released by the stop); False if `timeout` seconds
        pass first. Called from a handler it does not wait for that handler.
        In an asyncio program use `await agent.aclose()` or `async with`:
        this call blocks the loop a running handler may be waiting for."""
        _wait_returned()
        self._stop()
        with _state.lock:
            busy = _state.running > _own_runs()
        if busy and _loop_here() is not None:
            _log.warning(
                "Agent.close() called on a running event loop: use `await agent.aclose()`"
                " or `async with agent:`, a handler may be waiting for this loop"
            )
            if timeout is None:
                timeout = _LOOP_CLOSE_TIMEOUT
        return wait_idle(timeout)

    async def aclose(self, timeout: Optional[float] = None) -> bool:
        """close() for the event loop: stops the agent and waits for a
        running handler without blocking the loop, which that handler may
        need. A handler that has already returned finishes first, so its
        command's end reaches the operator before the agent says goodbye."""
        await _wait_returned_async()
        self._stop()
        return await _wait_idle_async(timeout)

    def sync_status(self) -> None:
        """Kept for hosts that call it; does nothing."""
        _c.cli_agent_sync_status()

    def __enter__(self) -> "Agent":
        return self.start()

    def __exit__(self, *exc: object) -> bool:
        self.close()
        return False

    async def __aenter__(self) -> "Agent":
        return self.start()

    async def __aexit__(self, *exc: object) -> bool:
        await self.aclose()
        return False

    def __repr__(self) -> str:
        state = "running" if self.running else "stopped"
        return f"<cli_agent.Agent {self.id} {self.name!r} {state}>"


def _after_fork_in_child() -> None:
    # The child has no agent thread and no handler running; the threads
    # that held the locks are gone. The library keeps the registrations,
    # and so does `_commands`.
    global _state
    _state = _State()
    _here.__dict__.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


@atexit.register
def _shutdown() -> None:
    # The agent thread must not enter Python after the interpreter is gone.
    with _state.registration:
        agent = _state.agent
        if agent is not None:
            _c.cli_agent_destroy(agent.id)
            _state.agent = None
        with _state.lock:
            names = list(_commands)
        for name in names:
            _unregister_locked(name)
    wait_idle(2.0)
