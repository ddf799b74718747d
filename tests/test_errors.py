"""One root for the package's own errors, and one translation of their kinds."""

import ast
import importlib
from pathlib import Path

import pytest

from velmor_platform.errors import KINDS, VelmorError
from velmor_platform.services.errors import UserError, translated

PACKAGE = Path(__file__).resolve().parent.parent / "src" / "velmor_platform"
#: Errors that never reach a person as such: a face's own form error, a child
#: process's drawing failure and a cancelled measurement.
INTERNAL = {"FormError", "DrawError", "RasterCancelled"}


def _error_classes():
    for path in sorted(PACKAGE.rglob("*.py")):
        module = ".".join(("velmor_platform", *path.relative_to(PACKAGE).with_suffix("").parts))
        for node in ast.parse(path.read_text()).body:
            if isinstance(node, ast.ClassDef) and node.name.endswith(("Error", "Unavailable")):
                yield module.removesuffix(".__init__"), node.name


def test_every_error_of_the_package_has_the_one_root_and_a_kind():
    found = [
        f"{module}.{name}"
        for module, name in _error_classes()
        if name not in INTERNAL
        and not issubclass(getattr(importlib.import_module(module), name), VelmorError)
    ]
    assert found == [] and VelmorError.kind in KINDS


def _raised(error):
    with pytest.raises(UserError) as info, translated():
        raise error
    return info.value.kind, info.value.message


def test_services_translate_each_error_by_its_kind():
    from velmor_platform.cfd.errors import CfdError, OpenFoamMissingError
    from velmor_platform.mcp.mcp_config import UnknownServerError
    from velmor_platform.study.errors import StudyError

    assert _raised(CfdError("no  template")) == ("invalid", "no template")
    assert _raised(OpenFoamMissingError("no simpleFoam"))[0] == "unavailable"
    assert _raised(StudyError("conflict", "busy")) == ("conflict", "busy")
    assert _raised(UnknownServerError("xlb", [], Path("mcp.json")))[0] == "not_found"
    assert _raised(UserError("not_found", "gone")) == ("not_found", "gone")
    assert _raised(TimeoutError("locked"))[0] == "conflict"  # not the package's own
