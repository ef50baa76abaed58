"""The agent and its commands: registration, the dispatch of a command line
to its handler (on the agent thread or the handler's event loop), start,
stop and the waits for handlers still running."""

from __future__ import annotations

import asyncio
import atexit
import ctypes
import functools
import inspect
import logging
import os
import queue
import re
import threading
import time
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple, Union

from . import _lib
from ._lib import Text, _to_bytes, _to_str
from ._lib import c as _c
from ._output import _async_run, _here, _in_command, _Run, _wake, print_buffered

Handler = Callable[[List[str]], Any]
"""handler(args) -> int | None, or an `async def` with the same signature;
args[0] is the command name."""

Usage = Callable[[str], None]
"""usage(name): prints the command's usage text, called by usage_error()."""

_log = logging.getLogger("cli_agent")

_RESERVED = ("help", "ls", "quit", "exit", "attach")
_NAME_CHARS = re.compile(r"[A-Za-z0-9_]+\Z")
_AGENT_NAME_MAX = 63
_ID_MAX = 0xFFFFFFFF


class AgentError(OSError):
    """The agent could not be started or a command could not be registered."""


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
