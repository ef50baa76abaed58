"""Output and input of the command running: print, print_buffered, send,
dump, usage_error and the prompts, on the agent thread or queued to it from
an async handler's coroutine."""

from __future__ import annotations

import asyncio
import contextvars
import ctypes
import functools
import logging
import queue
import re
import threading
from typing import Any, Callable, Iterator, List, Optional, Tuple

from . import _lib
from ._lib import Text, _to_bytes, _to_str
from ._lib import c as _c

_log = logging.getLogger("cli_agent")

# One cli_print call keeps at most 65535 bytes and one cli_print_buffer call
# 8191. Text goes through them as "%.*s" runs and NUL bytes as "%c", several
# pieces to a call; inside a command direct output is sent raw instead, which
# needs no formatting at all.
_DIRECT_PIECE = 65535
_BUFFERED_PIECE = 8191
_FORMAT_ARGS = 600  # far below what one ctypes call may pass
_RAW_PIECE = 1 << 30  # a multiple of 16: dump lines stay whole


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


def _wake(fut: "asyncio.Future[None]") -> None:
    if not fut.done():
        fut.set_result(None)
