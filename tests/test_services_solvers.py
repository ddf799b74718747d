"""services.solvers: the registry's domains and a product's backends as
data, and the kind of each refusal (the capability report, which asks the
OpenFOAM server, is the web's and the command line's tests' business)."""

import pytest

from velmor_platform.services import solvers
from velmor_platform.services.errors import UserError
from velmor_platform.services.loading import Workspace


def test_answers_have_their_shapes(workspace):
    ws = Workspace(workspace)
    records = solvers.domains()
    assert [r["domain"] for r in records] == ["aerodynamics", "dynamics"]
    assert solvers.domain("aero")["domain"] == "aerodynamics"  # the short name
    assert all({"name", "version"} <= set(s) for r in records for s in r["solvers"])
    installed = solvers.installed_solvers(records)
    assert set(installed) == {s["name"] for r in records for s in r["solvers"]}
    assert all(("reason" in v) != v["installed"] for v in installed.values())
    chosen = solvers.set_solver("hatch", ws, "aerodynamics", "openfoam")
    assert chosen.data["backend"] == chosen.data["dispatch_backend"] == "openfoam"
    every = solvers.resolve_solvers("hatch", ws, {"aerodynamics": "openfoam"}).resolved
    assert [r.data["domain"] for r in every] == ["aerodynamics", "dynamics"]
    assert set(every[0].data) == {"product", "domain", "selected", "dispatch_backend"}


@pytest.mark.parametrize(
    "call, kind",
    [
        (lambda ws: solvers.domain("acoustics"), "invalid"),
        (lambda ws: solvers.set_solver("hatch", ws, "acoustics", "openfoam"), "invalid"),
        (lambda ws: solvers.set_solver("hatch", ws, "aerodynamics", "nosuch"), "invalid"),
        (lambda ws: solvers.resolve_solver("coupe", ws, "aerodynamics"), "not_found"),
    ],
)
def test_each_refusal_has_its_kind(workspace, call, kind):
    with pytest.raises(UserError) as info:
        call(Workspace(workspace))
    assert info.value.kind == kind and "\n" not in info.value.message
