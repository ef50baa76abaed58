"""Options and numbers of a command's arguments, as the library parses them."""

from __future__ import annotations

import ctypes
from typing import Any, Iterator, NamedTuple, Optional, Sequence

from . import _lib
from ._lib import Text, _to_bytes, _to_str
from ._lib import c as _c


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
