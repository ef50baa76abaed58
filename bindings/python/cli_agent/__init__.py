"""A command-line interface for a long-running Python service.

    import cli_agent

    with cli_agent.Agent(1, "mysvc") as agent:
        @agent.command("hello", "greets the operator")
        def hello(args):
            cli_agent.print(f"hello {' '.join(args[1:]) or 'world'}\\n")

        serve_forever()

Threading: the library runs every command on its own agent thread, one at a
time. A handler is Python code on that thread: it holds the GIL while it
runs, like any thread, and the library's blocking calls (input() waiting for
the operator, output on a slow connection) release it. A handler must not
touch an asyncio event loop directly; it hands work to the loop with
asyncio.run_coroutine_threadsafe(coro, loop).result(timeout) and waits for
it on the agent thread while the loop keeps running. The output and input
functions act on the command running on the calling thread; called anywhere
else, print/print_buffered/dump write to standard error and the others do
nothing.

Exceptions: an exception leaving a handler ends that command only. The
operator sees one line "NAME: Type: message" after the output so far; the
traceback goes to the host's sys.stderr. The process goes on.

Lifetime: commands are dispatched through two ctypes callbacks that live as
long as the module, and the Python functions stay referenced while they are
registered and while a run of them is in progress.
"""

import atexit
import collections
import ctypes
import sys
import threading
import traceback

from . import _lib

__all__ = [
    "Agent",
    "AgentError",
    "Option",
    "print",
    "print_buffered",
    "send",
    "dump",
    "usage_error",
    "input",
    "options",
    "param_u64",
    "param_u32",
    "param_pointer",
]

_c = _lib.load()

# One cli_print call keeps at most 65535 bytes, one cli_print_buffer call 8191,
# and both stop at a NUL byte: text goes down in smaller pieces, NUL bytes one
# by one through "%c", so every byte arrives in order.
_DIRECT_PIECE = 65535
_BUFFERED_PIECE = 8191
_RAW_PIECE = 1 << 30  # a multiple of 16: dump lines stay whole


class AgentError(OSError):
    """The agent could not be started or a command could not be registered."""


def _to_bytes(text):
    if isinstance(text, str):
        return text.encode("utf-8", "surrogateescape")
    return bytes(text)


def _to_str(raw):
    return raw.decode("utf-8", "surrogateescape")


def _emit(fn, data, piece):
    start, end = 0, len(data)
    while start < end:
        if data[start] == 0:
            fn(b"%c", ctypes.c_int(0))
            start += 1
            continue
        stop = data.find(b"\0", start, min(end, start + piece))
        if stop < 0:
            stop = min(end, start + piece)
        fn(b"%.*s", ctypes.c_int(stop - start), ctypes.c_char_p(data[start:stop]))
        start = stop


def print(text):  # noqa: A001 - the module's own print, used as cli_agent.print
    """Sends text (str or bytes) at once, after whatever was buffered before it."""
    _emit(_c.cli_print, _to_bytes(text), _DIRECT_PIECE)


def print_buffered(text):
    """Appends text to the command's output, sent when the command ends or
    before the next direct output, prompt or raw send."""
    _emit(_c.cli_print_buffer, _to_bytes(text), _BUFFERED_PIECE)


def _pieces(data):
    data = bytes(data)
    for start in range(0, len(data), _RAW_PIECE):
        chunk = data[start : start + _RAW_PIECE]
        yield chunk, len(chunk)


def send(data):
    """Sends raw bytes at once, after the buffered output; nothing outside a command."""
    for chunk, n in _pieces(data):
        _c.cli_send_buffer(chunk, n)


def dump(data):
    """Buffered hexadecimal dump of the bytes ("%08x: " offset, "%02x " each)."""
    for chunk, n in _pieces(data):
        _c.cli_print_memory(chunk, n)


def usage_error(message=None):
    """The message as one buffered line, then the running command's usage text."""
    if message:
        data = _to_bytes(message)
        print_buffered(data if data.endswith(b"\n") else data + b"\n")
    _c.cli_show_usage_and_error(None)


def input(prompt=":"):  # noqa: A001
    """Shows the prompt and waits for the operator's reply (no time-out);
    None outside a command or when the connection ends."""
    buf = ctypes.create_string_buffer(_lib.FRAME_MAX_DATA + 1)
    if _c.cli_get_input(_to_bytes(prompt), buf, len(buf)) != 0:
        return None
    return _to_str(buf.value)


Option = collections.namedtuple("Option", "opt arg error")
Option.__doc__ = """One result of options(): opt is the option letter, "?" for an
error (message in error) or None for a non-option argument (in arg)."""


def options(args, optstring):
    """Yields the options of an argument list (args[0] is the command name)
    as parsed by cli_get_option: -b80 and -b 80 alike, no grouped flags."""
    encoded = [_to_bytes(a) for a in args]
    argv = (ctypes.c_char_p * (len(encoded) + 1))(*encoded)
    optspec = _to_bytes(optstring)
    state = _lib.OptionState()
    while True:
        rc = _c.cli_get_option(len(encoded), argv, optspec, ctypes.byref(state))
        if rc == -1:
            return
        arg = _to_str(state.optarg) if state.optarg is not None else None
        if rc == 1:
            yield Option(None, arg, None)
        elif rc == ord("?") and state.errmsg:
            yield Option("?", None, _to_str(state.errmsg))
        else:
            yield Option(chr(rc), arg, None)


def _param(fn, ctype, s):
    out = ctype()
    if fn(_to_bytes(s), ctypes.byref(out)) != 0:
        return None
    return out.value or 0


def param_u64(s):
    """Strict unsigned 64-bit number (decimal, 0x hex, 0 octal) or None."""
    return _param(_c.cli_get_param_u64, ctypes.c_uint64, s)


def param_u32(s):
    """Strict unsigned 32-bit number or None."""
    return _param(_c.cli_get_param_u32, ctypes.c_uint32, s)


def param_pointer(s):
    """An address as an int, or None."""
    return _param(_c.cli_get_param_pointer, ctypes.c_void_p, s)


# ---------------------------------------------------------------------------
# Commands: name -> (handler, usage). `_lock` guards `_commands` and
# `_running`; it is never held while a handler runs. `_registration`
# serialises whole registrations, so `_commands` and the library's table
# agree on every name; the dispatchers never take it.

_lock = threading.Condition()
_registration = threading.Lock()
_commands = {}
_running = 0


def _one_line(name, exc):
    text = f"{name}: {type(exc).__name__}: {exc}".replace("\r", " ").replace("\n", " ")
    return text.rstrip() + "\n"


def _report(name, exc):
    try:
        traceback.print_exception(type(exc), exc, exc.__traceback__, file=sys.stderr)
        print_buffered(_one_line(name, exc))
    except BaseException:  # nothing may escape into the library
        pass


def _dispatch(argc, argv):
    global _running
    try:
        args = [_to_str(argv[i]) for i in range(argc)]
        name = args[0] if args else ""
        with _lock:
            entry = _commands.get(name)
            if entry is not None:
                _running += 1
        if entry is None:
            print_buffered(f"{name}: command was removed\n")
            return 1
        try:
            rc = entry[0](args)
            return int(rc) if rc is not None else 0
        except BaseException as e:
            _report(name, e)
            return 1
        finally:
            with _lock:
                _running -= 1
                _lock.notify_all()
    except BaseException:
        return 1


def _dispatch_usage(cmd, _flags):
    name = ""
    try:
        name = _to_str(cmd.contents.name)
        with _lock:
            entry = _commands.get(name)
        if entry is not None and entry[1] is not None:
            entry[1](name)
    except BaseException as e:
        _report(name, e)


# Module-lifetime callbacks: the library may call them until every command
# is unregistered.
_HANDLER = _lib.HANDLER(_dispatch)
_USAGE = _lib.USAGE(_dispatch_usage)


def _descriptor(name, desc="", with_usage=False):
    cmd = _lib.Command()
    cmd.name = _to_bytes(name)[: _lib.CMD_NAME_LEN - 1]
    cmd.desc = _to_bytes(desc)[: _lib.CMD_DESC_LEN - 1]
    cmd.handler = _HANDLER
    cmd.usage = _USAGE if with_usage else _lib.USAGE()
    return cmd


def register(name, desc, handler, usage=None):
    """Registers handler(args) -> int | None as command `name`;
    usage(name) is shown by usage_error(). Raises AgentError on failure."""
    if not name or len(_to_bytes(name)) >= _lib.CMD_NAME_LEN:
        raise AgentError(f"cli_agent: bad command name {name!r}")
    descriptor = _descriptor(name, desc, usage is not None)
    with _registration:
        with _lock:
            if name in _commands:
                raise AgentError(f"cli_agent: command {name!r} is already registered")
            _commands[name] = (handler, usage)
        if _c.cli_register_command(ctypes.byref(descriptor)) != 0:
            with _lock:
                _commands.pop(name, None)
            raise AgentError(f"cli_agent: cannot register command {name!r}")


def unregister(name):
    """Removes command `name`; a run in progress finishes."""
    descriptor = _descriptor(name)
    with _registration:
        _c.cli_unregister_command(ctypes.byref(descriptor))
        with _lock:
            _commands.pop(name, None)


def wait_idle(timeout):
    """Waits until no handler runs; False on time-out."""
    with _lock:
        return _lock.wait_for(lambda: _running == 0, timeout)


class Agent:
    """The process's agent: started by start() or `with`, stopped by close().

    Commands registered through command() are unregistered by close()."""

    def __init__(self, agent_id, name):
        self.id = int(agent_id)
        self.name = name
        self._names = []
        self._started = False

    def start(self):
        if _c.cli_agent_init(self.id, _to_bytes(self.name)) != 0:
            raise AgentError(f"cli_agent: cannot start agent {self.id} ({self.name!r})")
        self._started = True
        _live_agents.add(self)
        return self

    def command(self, name, desc="", usage=None):
        """Decorator: @agent.command("name", "description", usage=fn)."""

        def register_handler(fn):
            register(name, desc, fn, usage)
            self._names.append(name)
            return fn

        return register_handler

    def close(self, timeout=5.0):
        """Stops the agent, unregisters this agent's commands and waits up to
        `timeout` seconds for a handler still running. In an asyncio program
        call it outside the loop (or in an executor): a running handler may
        be waiting for the loop."""
        if self._started:
            _c.cli_agent_destroy(self.id)
            self._started = False
            _live_agents.discard(self)
        while self._names:
            unregister(self._names.pop())
        return wait_idle(timeout)

    def sync_status(self):
        _c.cli_agent_sync_status()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()
        return False


_live_agents = set()


@atexit.register
def _shutdown():
    # The agent thread must not enter Python after the interpreter is gone.
    for agent in list(_live_agents):
        _c.cli_agent_destroy(agent.id)
    with _lock:
        names = list(_commands)
    for name in names:
        unregister(name)
    wait_idle(2.0)
