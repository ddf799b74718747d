"""services.variants: what removing a variant answers, and the kind of each
refusal of making or removing one (making one in full is the study tests')."""

import pytest

from velmor_platform.services import variants
from velmor_platform.services.errors import UserError
from velmor_platform.services.loading import Workspace


def test_removal_says_what_went_and_what_stayed(workspace):
    ws = Workspace(workspace)
    planned = variants.remove(ws, "sedan:sport", dry_run=True)
    assert planned["dry_run"] and (workspace / "products/sedan/sport").is_dir()
    done = variants.remove(ws, "sedan:sport")
    assert (
        done["removed"] == planned["removed"] and not (workspace / "products/sedan/sport").exists()
    )
    assert all({"path", "reason"} <= set(kept) for kept in done["kept"])


@pytest.mark.parametrize(
    "call, kind",
    [
        (lambda ws: variants.make(None, "hatch", "hatch:b", "/x.stl"), "unavailable"),
        (lambda ws: variants.make(ws, "nosuch", "a:b", "/x.stl"), "not_found"),
        (lambda ws: variants.make(ws, "sedan:base", "sedan:sport", "/x.stl"), "conflict"),
        (lambda ws: variants.remove(ws, "sedan:nosuch"), "not_found"),
    ],
)
def test_each_refusal_has_its_kind(workspace, call, kind):
    with pytest.raises(UserError) as info:
        call(Workspace(workspace))
    assert info.value.kind == kind and "\n" not in info.value.message
