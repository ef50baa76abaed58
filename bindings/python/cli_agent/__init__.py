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

import inspect as _inspect

from ._agent import Agent as Agent
from ._agent import AgentError as AgentError
from ._agent import Handler as Handler
from ._agent import Usage as Usage
from ._agent import register as register
from ._agent import unregister as unregister
from ._agent import wait_idle as wait_idle
from ._lib import Text as Text
from ._lib import c as _c
from ._options import Option as Option
from ._options import options as options
from ._options import param_pointer as param_pointer
from ._options import param_u32 as param_u32
from ._options import param_u64 as param_u64
from ._output import OUTPUT_QUEUE_LIMIT as OUTPUT_QUEUE_LIMIT
from ._output import ainput as ainput
from ._output import aprint as aprint
from ._output import drain as drain
from ._output import dump as dump
from ._output import input as input  # noqa: A004 - cli_agent.input, not in __all__
from ._output import print as print  # noqa: A004 - cli_agent.print, not in __all__
from ._output import print_buffered as print_buffered
from ._output import send as send
from ._output import usage_error as usage_error

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

# The package's modules hold one concern each (_agent: the agent and its
# commands; _output: output and input; _options: options and numbers; _lib:
# the library and the text it takes); what they offer is cli_agent's own,
# in help(), in tracebacks and for pickle.
for _public in __all__ + ["print", "input"]:
    _obj = globals()[_public]
    if _inspect.isclass(_obj) or _inspect.isfunction(_obj):
        _obj.__module__ = __name__
del _public, _obj
