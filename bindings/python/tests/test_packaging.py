"""The package as users get it: a wheel from the package's own build
backend, and `pip install` into a fresh virtual environment with no package
index to reach."""

import base64
import hashlib
import importlib.util
import os
import pathlib
import subprocess
import sys
import zipfile

PROJECT = pathlib.Path(__file__).resolve().parents[1]
INSTALL_TIMEOUT = 120  # seconds for one venv or pip run


def load_backend():
    spec = importlib.util.spec_from_file_location(
        "cli_agent_build", PROJECT / "_backend" / "cli_agent_build.py"
    )
    backend = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(backend)
    return backend


def test_the_wheel_holds_the_package_its_type_marker_and_a_true_record(tmp_path):
    backend = load_backend()
    assert backend.get_requires_for_build_wheel() == []
    name = backend.build_wheel(str(tmp_path))
    assert name == "cli_agent-1.0.0-py3-none-any.whl"
    with zipfile.ZipFile(tmp_path / name) as wheel:
        names = set(wheel.namelist())
        modules = ("__init__", "_agent", "_output", "_options", "_lib")
        assert {f"cli_agent/{m}.py" for m in modules} | {"cli_agent/py.typed"} <= names
        metadata = wheel.read("cli_agent-1.0.0.dist-info/METADATA").decode()
        assert "Name: cli_agent\n" in metadata and "Version: 1.0.0\n" in metadata
        record = wheel.read("cli_agent-1.0.0.dist-info/RECORD").decode().splitlines()
        for line in record:
            path, digest, size = line.rsplit(",", 2)
            if digest:
                data = wheel.read(path)
                want = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
                assert digest == "sha256=" + want.decode() and int(size) == len(data), path
        assert {line.split(",")[0] for line in record} == names


def test_pip_installs_into_a_fresh_venv_without_an_index(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run(
        [sys.executable, "-m", "venv", str(venv)], check=True, timeout=INSTALL_TIMEOUT
    )
    python = str(venv / "bin" / "python")
    env = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    env.pop("PYTHONPATH", None)
    r = subprocess.run(
        [python, "-m", "pip", "install", "-q", str(PROJECT)],
        capture_output=True,
        env=env,
        timeout=INSTALL_TIMEOUT,
    )
    assert r.returncode == 0, r.stderr.decode()
    r = subprocess.run(
        [python, "-c", "import cli_agent, pathlib; print(pathlib.Path(cli_agent.__file__).parent)"],
        capture_output=True,
        env=env,
        cwd=str(tmp_path),
        timeout=INSTALL_TIMEOUT,
    )
    assert r.returncode == 0, r.stderr.decode()
    installed = pathlib.Path(r.stdout.decode().strip())
    assert installed.parent.name == "site-packages" and (installed / "py.typed").is_file()
