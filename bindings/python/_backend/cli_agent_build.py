"""The build backend of the cli_agent package (PEP 517 and PEP 660).

The package is plain Python: a wheel is its files, the metadata from
pyproject.toml and a RECORD. Building it needs nothing but the standard
library, so pip can install the package in a fresh virtual environment
without reaching a package index, with or without build isolation.
SOURCE_DATE_EPOCH, when set, dates every archive member (reproducible
builds).
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import pathlib
import re
import tarfile
import time
import zipfile
from typing import Any, Dict, List, Optional, Tuple

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = "cli_agent"
SDIST_PARTS = ("pyproject.toml", "setup.py", "README.md", "_backend", PACKAGE, "tests")


def _read_project() -> Dict[str, Any]:
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    try:
        import tomllib  # Python 3.11 and later
    except ImportError:
        try:
            import tomli as tomllib  # type: ignore[no-redef]
        except ImportError:
            return _read_flat_project(text)
    return tomllib.loads(text)["project"]


def _read_flat_project(text: str) -> Dict[str, Any]:
    # Without a TOML parser: the [project] table of this file only holds
    # strings, arrays of strings and one inline {text = "..."} table.
    body = re.search(r"^\[project\]\n(.*?)(?=^\[|\Z)", text, re.M | re.S)
    project: Dict[str, Any] = {}
    for key, value in re.findall(r"^([\w-]+)\s*=\s*(.+)$", body.group(1) if body else "", re.M):
        strings = re.findall(r'"((?:[^"\\]|\\.)*)"', value)
        if value.startswith("["):
            project[key] = strings
        elif value.startswith("{"):
            project[key] = {"text": strings[0] if strings else ""}
        elif strings:
            project[key] = strings[0]
    return project


def _metadata() -> str:
    p = _read_project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {p['name']}",
        f"Version: {p['version']}",
        f"Summary: {p.get('description', '')}",
    ]
    if "requires-python" in p:
        lines.append(f"Requires-Python: {p['requires-python']}")
    lic = p.get("license")
    if isinstance(lic, dict) and lic.get("text"):
        lines.append(f"License: {lic['text']}")
    lines += [f"Classifier: {c}" for c in p.get("classifiers", [])]
    readme = p.get("readme")
    body = ""
    if isinstance(readme, str):
        lines.append("Description-Content-Type: text/markdown")
        body = (ROOT / readme).read_text(encoding="utf-8")
    return "\n".join(lines) + "\n\n" + body


def _version() -> Tuple[str, str]:
    p = _read_project()
    return re.sub(r"[-_.]+", "_", p["name"]).lower(), p["version"]


def _epoch() -> int:
    given = os.environ.get("SOURCE_DATE_EPOCH")
    return max(int(given) if given else int(time.time()), 315532800)  # zip: 1980 on


def _date() -> Tuple[int, int, int, int, int, int]:
    return tuple(time.gmtime(_epoch())[:6])  # type: ignore[return-value]


def _package_files() -> List[pathlib.Path]:
    pkg = ROOT / PACKAGE
    return sorted(
        f for f in pkg.rglob("*") if f.is_file() and f.suffix in (".py", ".typed")
    )


def _wheel_text(tag: str = "py3-none-any") -> str:
    return (
        "Wheel-Version: 1.0\n"
        "Generator: cli_agent_build\n"
        "Root-Is-Purelib: true\n"
        f"Tag: {tag}\n"
    )


def _write_wheel(wheel_directory: str, files: List[Tuple[str, bytes]]) -> str:
    name, version = _version()
    dist_info = f"{name}-{version}.dist-info"
    files = files + [
        (f"{dist_info}/METADATA", _metadata().encode("utf-8")),
        (f"{dist_info}/WHEEL", _wheel_text().encode()),
        (f"{dist_info}/top_level.txt", f"{PACKAGE}\n".encode()),
    ]
    record = []
    for arcname, data in files:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
        record.append(f"{arcname},sha256={digest.decode()},{len(data)}")
    record.append(f"{dist_info}/RECORD,,")
    files.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode()))
    filename = f"{name}-{version}-py3-none-any.whl"
    date = _date()
    with zipfile.ZipFile(os.path.join(wheel_directory, filename), "w", zipfile.ZIP_DEFLATED) as z:
        for arcname, data in files:
            info = zipfile.ZipInfo(arcname, date_time=date)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
    return filename


def get_requires_for_build_wheel(config_settings: Optional[dict] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[dict] = None) -> List[str]:
    return []


def get_requires_for_build_editable(config_settings: Optional[dict] = None) -> List[str]:
    return []


def prepare_metadata_for_build_wheel(
    metadata_directory: str, config_settings: Optional[dict] = None
) -> str:
    name, version = _version()
    dist_info = pathlib.Path(metadata_directory) / f"{name}-{version}.dist-info"
    dist_info.mkdir(parents=True, exist_ok=True)
    (dist_info / "METADATA").write_text(_metadata(), encoding="utf-8")
    (dist_info / "WHEEL").write_text(_wheel_text(), encoding="utf-8")
    return dist_info.name


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(
    wheel_directory: str,
    config_settings: Optional[dict] = None,
    metadata_directory: Optional[str] = None,
) -> str:
    files = [(f.relative_to(ROOT).as_posix(), f.read_bytes()) for f in _package_files()]
    return _write_wheel(wheel_directory, files)


def build_editable(
    wheel_directory: str,
    config_settings: Optional[dict] = None,
    metadata_directory: Optional[str] = None,
) -> str:
    # A .pth file puts this directory on sys.path: the sources are used in place.
    return _write_wheel(wheel_directory, [(f"{PACKAGE}.pth", f"{ROOT}\n".encode())])


def build_sdist(sdist_directory: str, config_settings: Optional[dict] = None) -> str:
    name, version = _version()
    base = f"{name}-{version}"
    mtime = _epoch()

    def add(tar: tarfile.TarFile, arcname: str, data: bytes) -> None:
        info = tarfile.TarInfo(f"{base}/{arcname}")
        info.size, info.mtime, info.mode = len(data), mtime, 0o644
        tar.addfile(info, io.BytesIO(data))

    filename = f"{base}.tar.gz"
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for part in SDIST_PARTS:
            path = ROOT / part
            members = [path] if path.is_file() else sorted(path.rglob("*")) if path.is_dir() else []
            for f in members:
                if f.is_file() and "__pycache__" not in f.parts:
                    add(tar, f.relative_to(ROOT).as_posix(), f.read_bytes())
        add(tar, "PKG-INFO", _metadata().encode("utf-8"))
    return filename
