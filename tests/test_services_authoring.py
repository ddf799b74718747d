"""services.authoring: what a targets change and a geometry check answer,
and the kind of each refusal."""

import numpy as np
import pytest
from stl import mesh as stl_mesh

from velmor_platform.services import authoring
from velmor_platform.services.errors import UserError
from velmor_platform.services.loading import Workspace


def _box_stl(path):
    p = np.array([[x, y, z] for z in (0.15, 1.55) for y in (-0.9, 0.9) for x in (0, 4.0)])
    quads = [(0, 2, 3, 1), (4, 5, 7, 6), (0, 1, 5, 4), (2, 6, 7, 3), (0, 4, 6, 2), (1, 3, 7, 5)]
    tris = [p[[a, b, c]] for a, b, c, d in quads] + [p[[a, c, d]] for a, b, c, d in quads]
    body = stl_mesh.Mesh(np.zeros(len(tris), dtype=stl_mesh.Mesh.dtype))
    body.vectors[:] = np.array(tris)
    body.save(str(path))
    return str(path)


def test_answers_have_their_shapes(workspace, tmp_path):
    ws = Workspace(workspace)
    update = authoring.set_targets("sedan:base", ws, {"cd": 0.25, "cl": 0.08}, only_changed=True)
    assert [key for key, _, _ in update.changes] == ["cd"]  # cl was 0.08 already
    assert update.changes[0][2] == 0.25 and update.warnings == [] and update.usd_path.is_file()
    again = authoring.set_targets("sedan:base", ws, {"cd": 0.25}, only_changed=True)
    assert again.reply == {} and again.changes == []  # nothing to write
    checked = authoring.set_geometry("hatch", ws, _box_stl(tmp_path / "box.stl"))
    assert checked.heading.endswith("(hatch)") and {"status", "path", "note"} <= set(checked.reply)


@pytest.mark.parametrize(
    "call, kind",
    [
        (lambda ws: authoring.set_targets("hatch", ws, {"cx": 0.3}), "invalid"),
        (lambda ws: authoring.set_targets("hatch", ws, {}), "invalid"),
        (lambda ws: authoring.set_targets("hatch", ws, {"cd": 28}), "invalid"),
        (lambda ws: authoring.set_targets("hatch", ws, {"cd_tolerance": -1}), "invalid"),
        (lambda ws: authoring.set_targets("coupe", ws, {"cd": 0.3}), "not_found"),
        (lambda ws: authoring.set_targets("sedan:base", ws, {"cd": 0.3}, shown={"cd": 0.5}),
         "conflict"),  # changed since the form showed it
        (lambda ws: authoring.set_geometry("hatch", ws, "/no/such.stl"), "not_found"),
        (lambda ws: authoring.set_geometry("hatch", ws, "/etc/hostname"), "invalid"),
    ],
)  # fmt: skip
def test_each_refusal_has_its_kind(workspace, call, kind):
    with pytest.raises(UserError) as info:
        call(Workspace(workspace))
    assert info.value.kind == kind and "\n" not in info.value.message
