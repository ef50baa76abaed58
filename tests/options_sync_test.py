#!/usr/bin/env python3
"""The options of cli-server are written once, in its table (--help shows
it); the manual page, the usage block of the guide (its page on operating
cli-server) and the bash completion must say the same.

Usage: options_sync_test.py CLI_SERVER MANPAGE_SCD GUIDE_PAGE COMPLETION

Checks: the manual's OPTIONS name every option of --help with the same
short form and value, and nothing else; the manual's SYNOPSIS and the
guide's usage block match the synopsis of --help; the completion offers
every option and completes a value exactly after the options that take one.
"""
import re
import subprocess
import sys


def help_options(text):
    """{long: (short, value)} from the option lines of --help."""
    options = {}
    for line in text.splitlines():
        m = re.match(r"^  (?:-(\w), |    )--([a-z][a-z-]*)(?: (\S+))?(?:\s|$)", line)
        if m:
            options[m.group(2)] = (m.group(1), m.group(3))
    return options


def help_synopsis(text):
    lines = []
    for line in text.splitlines():
        if not line.strip():
            break
        lines.append(line)
    return lines


def section(scd, name):
    m = re.search(rf"^# {name}\n(.*?)(?=^# )", scd, re.S | re.M)
    return m.group(1) if m else ""


def plain(words):
    """scdoc markup off: *--x* _V_ -> --x V."""
    return re.sub(r"[*_]", "", words).replace("\\", "")


def manual_options(scd):
    options = {}
    for line in section(scd, "OPTIONS").splitlines():
        if not line.startswith("*-"):
            continue
        m = re.match(r"^(?:-(\w), )?--([a-z][a-z-]*)(?: (\S+))?$", plain(line).strip())
        if not m:
            raise SystemExit(f"manual: cannot read the option line {line!r}")
        options[m.group(2)] = (m.group(1), m.group(3))
    return options


def mentioned(text):
    """The options a synopsis mentions, with their values: {'--port N', '-c LINE', ...}."""
    return set(re.findall(r"(--?[a-zA-Z][a-z-]*(?: [A-Z][A-Z|]*)?)", text))


def main():
    cli_server, manpage, guide, completion = sys.argv[1:5]
    errors = []
    text = subprocess.run([cli_server, "--help"], capture_output=True, text=True, timeout=30,
                          check=True).stdout
    table = help_options(text)
    if len(table) < 15:
        errors.append(f"--help lists only {len(table)} options: {sorted(table)}")

    scd = open(manpage).read()
    manual = manual_options(scd)
    for name in sorted(set(table) | set(manual)):
        if table.get(name) != manual.get(name):
            errors.append(f"--{name}: --help says {table.get(name)}, the manual {manual.get(name)}")

    synopsis = help_synopsis(text)
    want = mentioned(" ".join(synopsis))
    got = mentioned(plain(section(scd, "SYNOPSIS")))
    if want != got:
        errors.append(f"manual SYNOPSIS differs from --help: only in --help {sorted(want - got)}, "
                      f"only in the manual {sorted(got - want)}")
    for name, (short, value) in table.items():
        if f"--{name}" not in " ".join(synopsis) and not (short and f"-{short}" in " ".join(synopsis)):
            errors.append(f"--{name} is missing from the synopsis of --help")

    blocks = re.findall(r"^```\n(Usage: cli-server.*?)^```$", open(guide).read(), re.S | re.M)
    if len(blocks) != 1:
        errors.append(f"{guide}: expected one usage block, found {len(blocks)}")
    elif blocks[0].splitlines() != synopsis:
        errors.append(f"{guide}: the usage block differs from --help:\n" + blocks[0] + "\n---\n" +
                      "\n".join(synopsis))

    bash = open(completion).read()
    words = re.search(r"compgen -W '([^']*)'", bash, re.S)
    offered = set(words.group(1).split()) if words else set()
    expected = {f"--{n}" for n in table} | {f"-{s}" for s, _ in table.values() if s}
    if offered != expected:
        errors.append(f"completion offers {sorted(offered - expected)} beyond the table and "
                      f"lacks {sorted(expected - offered)}")
    cases = {}
    prev = re.search(r'case \$prev in\n(.*?)\n\s*esac', bash, re.S)
    for pattern in re.findall(r"^\s*([-a-zA-Z |]+)\)\s*$", prev.group(1) if prev else "", re.M):
        for word in pattern.split("|"):
            cases[word.strip()] = pattern
    for name, (short, value) in table.items():
        for word in [f"--{name}"] + ([f"-{short}"] if short else []):
            if value and word not in cases:
                errors.append(f"completion: {word} takes {value} but has no case of its own")
    flags = {f"--{n}" for n, (_, v) in table.items() if not v and n not in ("help", "version")}
    for word in sorted(flags & set(cases)):
        errors.append(f"completion: the flag {word} is treated as taking a value")

    for e in errors:
        print(e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
