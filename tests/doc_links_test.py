#!/usr/bin/env python3
"""The README stays short and leads to the whole guide: it has at most
MAX_README_LINES lines, every page of doc/guide is linked from it, and every
relative link of the README and the guide names a file that exists and,
with a #fragment, a heading of that file.

Usage: doc_links_test.py SOURCE_DIR
"""
import pathlib
import re
import sys

MAX_README_LINES = 300
LINK = re.compile(r"\]\(([^)\s]+)\)")


def anchors(path):
    """The fragments a Markdown renderer gives the headings of PATH."""
    text = re.sub(r"^```.*?^```", "", path.read_text(encoding="utf-8"), flags=re.S | re.M)
    found = set()
    for heading in re.findall(r"^#+ (.*)$", text, re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
        found.add(slug)
    return found


def links(path):
    text = re.sub(r"^```.*?^```", "", path.read_text(encoding="utf-8"), flags=re.S | re.M)
    return [l for l in LINK.findall(text) if not re.match(r"^[a-z]+:", l)]


def main():
    root = pathlib.Path(sys.argv[1]).resolve()
    readme = root / "README.md"
    pages = sorted((root / "doc" / "guide").glob("*.md"))
    errors = []

    lines = len(readme.read_text(encoding="utf-8").splitlines())
    if lines > MAX_README_LINES:
        errors.append(f"README.md has {lines} lines, more than {MAX_README_LINES}")

    for page in [readme] + pages:
        for link in links(page):
            target, _, fragment = link.partition("#")
            dest = (page.parent / target).resolve() if target else page
            if not dest.exists():
                errors.append(f"{page.relative_to(root)}: {link}: no such file")
            elif fragment and dest.suffix == ".md" and fragment not in anchors(dest):
                errors.append(f"{page.relative_to(root)}: {link}: no such heading")

    linked = {(readme.parent / l.partition("#")[0]).resolve() for l in links(readme)}
    for page in pages:
        if page not in linked:
            errors.append(f"{page.relative_to(root)} is not linked from README.md")

    for e in errors:
        print(e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
