"""services.simulation: a prepared case and a recorded run as data, and the
kind of each refusal, without running OpenFOAM."""

import json
from pathlib import Path

import pytest

from velmor_platform.services import simulation
from velmor_platform.services.errors import UserError
from velmor_platform.services.loading import Workspace

DATA = Path(__file__).resolve().parent / "data" / "cfd_case"
OPTIONS = simulation.RunOptions()


def test_prepared_and_recorded_have_their_shapes(workspace):
    ws = Workspace(workspace)
    options = simulation.run_options(level="quick", full_model=True, yaw=None, speed=40)
    assert options.arguments() == {"full_model": True, "speed": 40.0}  # a remote run's
    prepared = simulation.prepare("hatch", ws, options)
    assert set(prepared.data) == {"product", "case_dir", "allrun"}
    assert prepared.identifier == "hatch" and (prepared.case_dir / "Allrun").is_file()
    params = json.loads((prepared.case_dir / "velmor-case.json").read_text())["params"]
    assert params["speed"] == 40 and params["full_model"] and params["level"] == "quick"
    run = simulation.record("hatch", ws, str(DATA))
    assert run.status == 0 and run.record["status"] == "completed" and "cd" in run.record
    choice = simulation.choose_current("hatch", ws, run.record["name"])
    assert choice.data == {"chosen": run.record["name"], "current": choice.current}
    assert {"base", "hatch"} <= set(simulation.templates(ws))


@pytest.mark.parametrize(
    "call, kind",
    [
        (lambda ws: simulation.run_options(level="huge"), "invalid"),
        (lambda ws: simulation.run_options(ranks=0), "invalid"),
        (lambda ws: simulation.run_options(template="../x"), "invalid"),
        (lambda ws: simulation.prepare("sedan:sport", ws, OPTIONS), "invalid"),  # no 'sport'
        (lambda ws: simulation.prepare("coupe", ws, OPTIONS), "not_found"),
        (lambda ws: simulation.record("hatch", ws, "/no/such/case"), "invalid"),
        (lambda ws: simulation.simulate("hatch", ws, backend="xlb"), "invalid"),
        (lambda ws: simulation.choose_current("hatch", ws, "run_9"), "invalid"),
    ],
)
def test_each_refusal_has_its_kind(workspace, call, kind):
    with pytest.raises(UserError) as info:
        call(Workspace(workspace))
    assert info.value.kind == kind and "\n" not in info.value.message
