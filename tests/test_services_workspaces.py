"""services.workspaces and services.cluster: a workspace chosen or made, a
cluster's state as data, and the kind of each refusal."""

import pytest

from velmor_platform.services import cluster, workspaces
from velmor_platform.services.errors import UserError
from velmor_platform.services.loading import Workspace


def test_answers_have_their_shapes(workspace, tmp_path):
    chosen = workspaces.choose(None, {"VELMOR_WORKSPACE": str(workspace)}, "/", create_user=False)
    assert chosen.root == workspace and chosen.how
    made = workspaces.init(str(tmp_path / "new"))
    assert made.data == {"workspace": tmp_path / "new", "products": ["hatch", "sedan"]}
    ws = Workspace(workspace)
    assert {"running", "started"} <= set(cluster.status(ws))
    assert cluster.stop(ws)["stopped"] == []  # none was started


@pytest.mark.parametrize(
    "call, kind",
    [
        (lambda ws: workspaces.init(str(ws.root)), "invalid"),  # not empty
        (lambda ws: cluster.status(None), "unavailable"),
        (lambda ws: cluster.start(Workspace(ws.root / "products")), "unavailable"),
    ],
)
def test_each_refusal_has_its_kind(workspace, call, kind):
    with pytest.raises(UserError) as info:
        call(Workspace(workspace))
    assert info.value.kind == kind and "\n" not in info.value.message
