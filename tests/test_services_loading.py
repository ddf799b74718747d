"""services.loading: a product found by identifier or file, and the kind of
each refusal of its own (an unknown identifier is the core's, which each use
case translates: see the other services' tests)."""

import pytest

from velmor_platform.services import loading
from velmor_platform.services.errors import UserError
from velmor_platform.services.loading import Workspace


def test_a_product_is_found_by_identifier_or_by_its_file(workspace):
    ws = Workspace(workspace)
    by_name = loading.load("sedan:sport", ws)
    by_file = loading.load(str(by_name.usd_path), ws)
    assert loading.identifier(by_name) == loading.identifier(by_file) == "sedan:sport"
    assert loading.heading(by_file).endswith("(sedan:sport)")
    assert loading.identifier_only("sedan:sport") == "sedan:sport"


@pytest.mark.parametrize(
    "call, kind",
    [
        (lambda ws: loading.load("/no/such.usda", ws), "not_found"),
        (lambda ws: loading.load(str(ws.root), ws), "invalid"),  # a directory
        (lambda ws: loading.load("/etc/hostname", ws), "invalid"),  # not a USD file
        (lambda ws: loading.load("hatch", Workspace(ws.root / "products")), "unavailable"),
        (lambda ws: loading.identifier_only("products/hatch/hatch.usda"), "not_found"),
        (lambda ws: loading.identifier_only(".hidden"), "not_found"),
    ],
)
def test_each_refusal_has_its_kind(workspace, call, kind):
    with pytest.raises(UserError) as info:
        call(Workspace(workspace))
    assert info.value.kind == kind and "\n" not in info.value.message
