"""Loading libcli_agent and declaring the C functions this package calls;
the text the package's functions take, as the bytes of C strings.

The library is found through CLI_AGENT_LIBRARY (a file name or path) or
else the loader's usual search for libcli_agent.so.1. CDLL releases the
GIL for the length of every call, so a handler blocked in cli_get_input
does not stop other Python threads.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
from typing import List, Union

CMD_NAME_LEN = 20
CMD_DESC_LEN = 64
FRAME_MAX_DATA = 65536


class Command(ctypes.Structure):
    """struct cli_command: the descriptor cli_register_command copies."""


HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_char_p))
USAGE = ctypes.CFUNCTYPE(None, ctypes.POINTER(Command), ctypes.c_int)

Command._fields_ = [
    ("name", ctypes.c_char * CMD_NAME_LEN),
    ("desc", ctypes.c_char * CMD_DESC_LEN),
    ("handler", HANDLER),
    ("usage", USAGE),
]


class OptionState(ctypes.Structure):
    """struct cli_option_state: cli_get_option's caller-owned state."""

    _fields_ = [
        ("optarg", ctypes.c_char_p),
        ("optind", ctypes.c_int32),
        ("optopt", ctypes.c_ubyte),
        ("errmsg", ctypes.c_char * 80),
    ]


def _candidates() -> List[str]:
    named = os.environ.get("CLI_AGENT_LIBRARY")
    if named:
        return [named]
    found = ctypes.util.find_library("cli_agent")
    return ["libcli_agent.so.1", "libcli_agent.so"] + ([found] if found else [])


def load() -> ctypes.CDLL:
    """The library with the argument and result types of every function this
    package calls; ImportError naming each attempt when none loads."""
    errors: List[str] = []
    for name in _candidates():
        try:
            lib = ctypes.CDLL(name)
        except OSError as e:
            errors.append(str(e))
            continue
        _declare(lib)
        return lib
    raise ImportError(
        "cli_agent: cannot load libcli_agent (set CLI_AGENT_LIBRARY to its path): "
        + "; ".join(errors)
    )


def _declare(lib: ctypes.CDLL) -> None:
    c = ctypes
    table = {
        "cli_agent_init": (c.c_int, [c.c_uint32, c.c_char_p]),
        "cli_agent_destroy": (c.c_int, [c.c_uint32]),
        "cli_agent_sync_status": (None, []),
        "cli_register_command": (c.c_int, [c.POINTER(Command)]),
        "cli_unregister_command": (None, [c.POINTER(Command)]),
        "cli_send_buffer": (None, [c.c_char_p, c.c_uint32]),
        "cli_print_memory": (None, [c.c_char_p, c.c_uint32]),
        "cli_get_input": (c.c_int, [c.c_char_p, c.c_char_p, c.c_uint32]),
        "cli_get_option": (
            c.c_int,
            [c.c_int, c.POINTER(c.c_char_p), c.c_char_p, c.POINTER(OptionState)],
        ),
        "cli_get_param_u64": (c.c_int, [c.c_char_p, c.POINTER(c.c_uint64)]),
        "cli_get_param_u32": (c.c_int, [c.c_char_p, c.POINTER(c.c_uint32)]),
        "cli_get_param_pointer": (c.c_int, [c.c_char_p, c.POINTER(c.c_void_p)]),
    }
    for name, (restype, argtypes) in table.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    # cli_print, cli_print_buffer and cli_show_usage_and_error are variadic:
    # no argtypes, every argument is passed as an explicit ctypes value.
    for name in ("cli_print", "cli_print_buffer", "cli_show_usage_and_error"):
        getattr(lib, name).restype = None


# The one library every module of the package calls through.
c = load()

Text = Union[str, bytes, bytearray, memoryview]
"""What the output functions take: str is sent as UTF-8 (lone surrogates
from undecodable input go back as the bytes they came from)."""


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
