"""services.studies: a study's definition, start and status as data, and the
kind of each refusal (the study package's own kinds kept)."""

import pytest

from velmor_platform.services import studies
from velmor_platform.services.errors import UserError
from velmor_platform.services.loading import Workspace


def test_a_defined_study_has_its_cases_and_status(workspace, monkeypatch):
    from velmor_platform.study import runner

    monkeypatch.setattr(runner, "start_driver", lambda root, name: 4242)  # no process here
    study = studies.define(name="s", products=["hatch"], speeds=[25.0, 30.0])
    started = studies.started(Workspace(workspace), study)
    assert started == {"study": "s", "driver": 4242, "cases": sorted(started["cases"])}
    assert len(started["cases"]) == 2
    status = studies.status(Workspace(workspace), "s")
    assert {"study", "definition", "driver", "finished", "counts", "cases"} <= set(status)
    assert studies.ended(status) == 0 and [s["study"] for s in studies.listing(
        Workspace(workspace))] == ["s"]  # fmt: skip


@pytest.mark.parametrize(
    "call, kind",
    [
        (lambda ws: studies.define(name="s"), "invalid"),
        (lambda ws: studies.define(name="s", products=["hatch"], levels=["huge"]), "invalid"),
        (lambda ws: studies.status(ws, "nosuch"), "not_found"),
        (lambda ws: studies.results(ws, "nosuch"), "not_found"),
        (lambda ws: studies.start_case(ws, "/etc"), "invalid"),
        (lambda ws: studies.cancel_case(ws, "x"), "invalid"),
        (lambda ws: studies.status(Workspace(ws.root / "none"), "s"), "unavailable"),
    ],
)
def test_each_refusal_has_its_kind(workspace, call, kind):
    with pytest.raises(UserError) as info:
        call(Workspace(workspace))
    assert info.value.kind == kind and "\n" not in info.value.message
