#!/usr/bin/env python3
"""Writes the hand-made seed inputs of every fuzz target into corpus/.

The seeds give the fuzzer the structure it would take long to guess: whole
frames, real command lines, prompts with their replies, option strings.
Inputs found by fuzzing (crashes turned into regression seeds) are added
to corpus/ by hand and are not produced here.
"""
import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"
HELLO, ACK, COMMAND, OUTPUT, DONE, PROMPT, INPUT, BYE = 2, 3, 4, 5, 6, 7, 8, 9


def frame(ftype, req_id=0, payload=b"", agent_id=0, magic=b"QELM", version=1, length=None):
    if isinstance(payload, str):
        payload = payload.encode()
    n = len(payload) if length is None else length
    return magic + struct.pack(">HHIII", version, ftype, req_id, agent_id, n) + payload


def write(target, name, data):
    d = ROOT / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data if isinstance(data, bytes) else data.encode())


def frame_recv():
    # The first byte chooses how the stream is cut into writes.
    write("frame_recv", "empty_frame", b"\x00" + frame(DONE, 5, agent_id=7))
    write("frame_recv", "two_frames_bytewise",
          b"\x00" + frame(HELLO, 0, "db", 7) + frame(COMMAND, 3, "help"))
    write("frame_recv", "max_len", b"\xff" + frame(OUTPUT, 1, b"x" * 65536))
    write("frame_recv", "over_max_len", b"\x10" + frame(OUTPUT, 1, b"", length=65537))
    write("frame_recv", "bad_magic", b"\x01" + frame(ACK, magic=b"QELN"))
    write("frame_recv", "bad_version", b"\x01" + frame(ACK, version=2))
    write("frame_recv", "truncated_payload", b"\x03" + frame(INPUT, 9, b"abc", length=10))
    write("frame_recv", "truncated_header", b"\x00" + frame(BYE)[:13])


def conversation():
    def cmd(req, line):
        return frame(COMMAND, req, line)

    write("conversation", "help", cmd(1, "help"))
    write("conversation", "echo_quotes", cmd(2, "echo a 'b c' \"d\\\"e\" f\\ g") + cmd(3, "echo"))
    write("conversation", "unknown_and_reserved",
          cmd(4, "nosuch x") + cmd(5, "quit") + cmd(6, "ls -l") + cmd(7, "n" * 200))
    write("conversation", "dump", cmd(8, "dump 40 hello") + cmd(9, "dump 0x10") + cmd(10, "dump 12k"))
    write("conversation", "ask_reply", cmd(11, "ask 'name? ' 8") + frame(INPUT, 11, "a long reply"))
    write("conversation", "ask_other_req_then_eof", cmd(12, "ask") + frame(INPUT, 99, "no") +
          frame(COMMAND, 13, "help"))
    write("conversation", "ask_size_one", cmd(14, "ask '' 1") + frame(INPUT, 14, "x"))
    write("conversation", "opts", cmd(15, "opts -a -b 0x10 -p 0xdeadbeef -n 4294967296 -x w - -v -b"))
    write("conversation", "fill", cmd(16, "fill 70") + cmd(17, "fill 1 loud"))
    write("conversation", "empty_and_blank", cmd(18, "") + cmd(19, "   \t "))
    write("conversation", "too_many_args", cmd(20, " ".join(["w"] * 129)))
    write("conversation", "long_line", cmd(21, "echo " + "y" * 5000))
    write("conversation", "bye_then_command", frame(BYE) + cmd(22, "help"))
    write("conversation", "other_types_dropped",
          frame(ACK) + frame(OUTPUT, 1, "o") + frame(0x7777, 2, "?") + cmd(23, "help"))
    write("conversation", "malformed_after_command", cmd(24, "echo hi") + frame(COMMAND, magic=b"XELM"))
    write("conversation", "partial_command", cmd(25, "echo abcdef")[:30])
    # 'R' first: the harness's ACK asks for results.
    write("conversation", "results_asked",
          b"R" + cmd(26, "echo r") + cmd(27, "nosuch") + cmd(28, "") + cmd(29, " ".join(["w"] * 129)) +
          cmd(30, "dump x") + cmd(31, "ask") + frame(INPUT, 31, "y"))


def split_args():
    for name, line in {
        "plain": "one two  three",
        "quotes": "a\"b c\"d 'e f' \"\" ''",
        "escapes": "x\\ y \"q\\\"q\" 'a\\'b' end\\",
        "unterminated": "say \"never closed",
        "whitespace": " \t\n\v\f\r ",
        "args_128": " ".join(["a"] * 128) + "   ",
        "args_129": " ".join(["a"] * 129),
    }.items():
        write("split_args", name, line)


def get_option():
    # Byte 0: the starting optind; then NUL-separated option string and argv
    # (argv[0] first); a field of exactly \x01 is a null argv entry.
    def args(start, optstring, *argv):
        return bytes([start & 0xFF]) + b"\0".join(x.encode() for x in (optstring,) + argv)

    write("get_option", "flags_and_args", args(0, "ab:v", "cmd", "-a", "-b", "80", "-b80", "w", "-", "-v"))
    write("get_option", "missing_argument", args(0, "ab:", "cmd", "-b"))
    write("get_option", "invalid_option", args(0, "ab:", "cmd", "-x", "--", "-ab"))
    write("get_option", "colon_option", args(0, "::a:?", "cmd", "-:", "x", "-?", "-a"))
    write("get_option", "null_entry", args(1, "a", "cmd", "\x01", "-a"))
    write("get_option", "negative_and_large_optind", args(-5, "a", "cmd", "-a") + b"")
    write("get_option", "optind_past_end", args(9, "a", "cmd"))
    write("get_option", "high_bytes", args(0, "\xe9:", "cmd", "-\xe9", "v"))


def numbers():
    for name, text in {
        "dec": "4294967295", "hex": "0xffffffff", "oct": "010", "over32": "4294967296",
        "over64": "18446744073709551616", "max64": "18446744073709551615",
        "minus_one": "-1", "minus_zero": "-0", "space_plus": "  +22", "trailing": "12k",
        "bare_prefix": "0x", "port": "65535", "port_over": "65536", "upper": "ABC xyz \xc4",
    }.items():
        write("numbers", name, text)
    write("numbers", "empty", b"")


def op(otype, payload=b"", length=None):
    if isinstance(payload, str):
        payload = payload.encode()
    n = len(payload) if length is None else length
    return bytes([otype]) + struct.pack(">I", n) + payload


def operator_protocol():
    # The first byte: top bit set for bytes the daemon sends, the rest the
    # size of the pieces they arrive in.
    hello = op(0x01, struct.pack(">HB", 1, 0))
    rid = struct.pack(">Q", 1)
    record = struct.pack(">QIqqq", 3, 7, 1765000000000, 4242, 0)
    write("operator_protocol", "client_session", b"\x00" + hello
          + op(0x02, rid + struct.pack(">QB", 3, 0) + b"show version")
          + op(0x03, rid + b"secret") + op(0x04, rid) + op(0x05))
    write("operator_protocol", "scripted_hello", b"\x05" + op(0x01, struct.pack(">HB", 1, 1)))
    write("operator_protocol", "daemon_session", b"\x81" + op(0x81, struct.pack(">H", 1))
          + op(0x82, record + b"demo") + op(0x84) + op(0x85, rid + struct.pack(">I", 2))
          + op(0x86, rid) + op(0x87, rid + b"x" * 300) + op(0x88, rid + b"Password: ")
          + op(0x89, rid) + op(0x8a, b"\x01cannot accept more agents")
          + op(0x8b, record + struct.pack(">IBqq", 1, 1, 1000, 77) + b"demo") + op(0x8c)
          + op(0x83, struct.pack(">QB", 3, 0) + b"disconnected")
          + op(0x8d, "uid 65534 is not allowed"))
    write("operator_protocol", "hostile_length", b"\x00" + op(0x02, length=0xFFFFFFF0))
    write("operator_protocol", "wrong_side", b"\x00" + op(0x82, "x"))


def server_frame():
    # The first byte chooses the size of the pieces the stream arrives in.
    write("server_frame", "hello_then_output", b"\x00" + frame(HELLO, 0, "demo", agent_id=7)
          + frame(OUTPUT, 1, "hello\n", agent_id=7) + frame(PROMPT, 1, "Name: ", agent_id=7)
          + frame(DONE, 1, agent_id=7))
    write("server_frame", "bye", b"\x03" + frame(BYE, 0, agent_id=7))
    write("server_frame", "bad_magic", b"\x00" + frame(OUTPUT, 1, "x", magic=b"XXXX"))
    write("server_frame", "hostile_length", b"\x00" + frame(OUTPUT, 1, length=0xFFFFFFFF))


def access_policy():
    # The policy's text, a 0xff byte, then a command line.
    example = (b"# WHO  AGENTS  COMMANDS\n@dba  *@root  *\n@4242\t*\thelp status show*\n"
               b"alice  db-1,db-2  status show*  # trailing\n* pub-[0-9] echo\n")
    write("access_policy", "example_status", example + b"\xff  'status' -v")
    write("access_policy", "example_backslash", example + b"\xffstat\\us")
    write("access_policy", "nul_in_line", example + b"\xffstatus\x00x")
    write("access_policy", "two_fields", b"* db-1\n\xffstatus")
    write("access_policy", "empty_selector", b"* db-1,,db-2 status\n\xffstatus")
    write("access_policy", "pid_selector", b"1000 pid:12 *\n\xffwipe")


if __name__ == "__main__":
    frame_recv()
    conversation()
    split_args()
    get_option()
    numbers()
    operator_protocol()
    server_frame()
    access_policy()
