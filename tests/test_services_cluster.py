"""services.cluster: a workspace's cluster state as data (none started), and
the kind of each refusal (starting one is the cluster tests' business)."""

import pytest

from velmor_platform.services import cluster
from velmor_platform.services.errors import UserError
from velmor_platform.services.loading import Workspace


def test_a_workspace_without_a_cluster_says_so(workspace):
    ws = Workspace(workspace)
    assert {"running", "started"} <= set(cluster.status(ws))
    assert cluster.stop(ws)["stopped"] == []  # none was started


@pytest.mark.parametrize(
    "call",
    [lambda ws: cluster.status(None), lambda ws: cluster.start(Workspace(ws.root / "products"))],
)
def test_each_refusal_has_its_kind(workspace, call):
    with pytest.raises(UserError) as info:
        call(Workspace(workspace))
    assert info.value.kind == "unavailable" and "\n" not in info.value.message
