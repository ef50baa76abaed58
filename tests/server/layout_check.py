#!/usr/bin/env python3
"""cli-server's folders are layers: a file includes only its own folder and
the folders below it, so the includes between folders form no cycle and the
event loop or the codecs never depend on what is built on them. Also holds
each file of server/ to a size a reader takes in at once.

    layout_check.py SERVER_DIR
"""
import pathlib
import re
import sys

# Which folders each folder may include. The daemon and the operator's side
# are siblings: what both need of the operator socket is in core.
ALLOWED = {
    "core": {"core"},
    "wire": {"core", "wire"},
    "hub": {"core", "wire", "hub"},
    "daemon": {"core", "wire", "hub", "daemon"},
    "operator": {"core", "wire", "hub", "operator"},
    "cli": {"core", "wire", "hub", "daemon", "operator", "cli"},
}
MAX_LINES = 450
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/([^"]+)"', re.M)


def main(root):
    root = pathlib.Path(root)
    faults = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        rel = path.relative_to(root)
        folder = rel.parts[0]
        if folder not in ALLOWED:
            faults.append(f"{rel}: not in a subsystem's folder")
            continue
        text = path.read_text()
        lines = text.count("\n")
        if lines > MAX_LINES:
            faults.append(f"{rel}: {lines} lines (at most {MAX_LINES})")
        for top, rest in INCLUDE.findall(text):
            if top not in ALLOWED:
                continue
            if top in ALLOWED[folder] or f"{top}/{rest}" in ALLOWED[folder]:
                continue
            faults.append(f"{rel}: includes {top}/{rest}, above {folder}/")
    for f in faults:
        print(f)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "server"))
