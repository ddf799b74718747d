"""The type stubs shipped for the native product core match the built module
and are usable by a type checker."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy.stubtest", reason="mypy is not installed")

import velmor_platform.core.product_core as product_core

MODULE = "velmor_platform.core.product_core"


def _mypy_env() -> dict:
    # Let mypy find the package wherever it is imported from (an installed
    # wheel or the source tree), next to its compiled module.
    package_parent = str(Path(os.path.abspath(product_core.__file__)).parents[2])
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_parent, env.get("PYTHONPATH")]))
    return env


def _run(args, cwd):
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        env=_mypy_env(),
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_stub_and_marker_ship_beside_the_module():
    here = Path(os.path.abspath(product_core.__file__)).parent
    assert (here / "product_core.pyi").is_file()
    assert (here / "py.typed").is_file()


def test_stubtest_finds_no_difference(tmp_path):
    result = _run(["mypy.stubtest", "--mypy-config-file", os.devnull, MODULE], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_type_checker_uses_the_stubs(tmp_path):
    (tmp_path / "client.py").write_text(
        "from pathlib import Path\n"
        "from velmor_platform.core.product_core import ProductCore\n"
        "p = ProductCore.load('sedan:base')\n"
        "reveal_type(p)\n"
        "backend, _ = p.resolve_dispatch_backend(domain='aero')\n"
        "reveal_type(backend)\n"
        "ProductCore.load(Path('x'))\n"
        "p.resolve_dispatch_backend('aero')\n"
        "p.name = 'x'\n"
    )
    result = _run(
        ["mypy", "--cache-dir", str(tmp_path / "cache"), "--config-file", os.devnull, "client.py"],
        cwd=tmp_path,
    )
    out = result.stdout
    assert (
        'client.py:4: note: Revealed type is "velmor_platform.core.product_core.ProductCore"' in out
    )
    assert (
        'client.py:6: note: Revealed type is "builtins.str"' in out
        or 'Revealed type is "str"' in out
    )
    errors = [line.split(": error:")[0] for line in out.splitlines() if ": error:" in line]
    assert errors == ["client.py:7", "client.py:8", "client.py:9"], out
