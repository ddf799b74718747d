"""services.workspaces: a workspace chosen or made, and the kind of each refusal."""

import pytest

from velmor_platform.services import workspaces
from velmor_platform.services.errors import UserError


def test_answers_have_their_shapes(workspace, tmp_path):
    chosen = workspaces.choose(None, {"VELMOR_WORKSPACE": str(workspace)}, "/", create_user=False)
    assert chosen.root == workspace and chosen.how
    made = workspaces.init(str(tmp_path / "new"))
    assert made.data == {"workspace": tmp_path / "new", "products": ["hatch", "sedan"]}


@pytest.mark.parametrize("target", [".", "hatch/hatch.usda"])  # not empty; a file
def test_a_workspace_is_made_only_in_a_new_or_empty_folder(workspace, target):
    with pytest.raises(UserError) as info:
        workspaces.init(str(workspace / "products" / target))
    assert info.value.kind == "invalid" and "\n" not in info.value.message
