"""services.products: the shapes of its answers and the kind of each refusal."""

import pytest

from velmor_platform.services import products
from velmor_platform.services.errors import UserError
from velmor_platform.services.loading import Workspace


def test_answers_have_their_shapes(workspace):
    ws = Workspace(workspace)
    listing = products.list_products(ws)
    assert [e["id"] for e in listing.entries] == ["hatch", "sedan:base", "sedan:sport"]
    assert all({"id", "name", "path"} <= set(e) for e in listing.entries)
    shown = products.show("sedan:base", ws)
    assert shown.heading.endswith("(sedan:base)") and shown.data["specs"]["frontal_area"] > 0
    history = products.history("sedan:base", ws)
    names = [run["name"] for run in history.runs]
    assert history.current in names and history.chosen in (None, *names)
    compared = products.compare("sedan:base", "sedan:sport", ws)
    assert {"a", "b", "changes", "identical"} <= set(compared.report)
    assert products.range_estimate("sedan:base", ws, 0.25).source == "given"


@pytest.mark.parametrize(
    "call, kind",
    [
        (lambda ws: products.show("coupe", ws), "not_found"),
        (lambda ws: products.show("/no/such.usda", ws), "not_found"),
        (lambda ws: products.history("products/hatch", ws), "not_found"),
        (lambda ws: products.export("hatch", ws, "stl"), "invalid"),
        (lambda ws: products.range_estimate("hatch", ws, -1.0), "invalid"),
        (lambda ws: products.list_products(Workspace(ws.root / "none")), "unavailable"),
    ],
)
def test_each_refusal_has_its_kind(workspace, call, kind):
    with pytest.raises(UserError) as info:
        call(Workspace(workspace))
    assert info.value.kind == kind and "\n" not in info.value.message
