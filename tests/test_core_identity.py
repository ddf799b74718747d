"""Identity and paths: name, usd_path, product_dir, _product_identifier,
metadata and the printed form."""

from pathlib import Path, PurePosixPath

import pytest


@pytest.mark.parametrize(
    "path,identifier,directory",
    [
        ("/w/products/sedan/base/sedan_v2.usda", "sedan:base", "/w/products/sedan/base"),
        ("/w/products/sedan/sedan.usda", "sedan", "/w/products/sedan"),
        ("/w/products/a/b/c/x.usda", "a:c", "/w/products/a/b/c"),
        ("/w/products/x.usda", "products", "/w/products"),
        ("/products/products/a/x.usda", "a", "/products/products/a"),
        ("/home/u/cars/x.usda", "home:cars", "/home/u/cars"),
        ("/x.usda", "", "/"),
        ("x.usda", "", "."),
        ("a/b/x.usda", "a:b", "a/b"),
        ("a/x.usda", "a", "a"),
        ("/w/Products/sedan/x.usda", "w:sedan", "/w/Products/sedan"),
        ("/w/PRODUCTS/x.usda", "w:PRODUCTS", "/w/PRODUCTS"),
        ("/w/products-old/x.usda", "w:products-old", "/w/products-old"),
    ],
)
@pytest.mark.parametrize("flavour", [Path, PurePosixPath, type("MyPath", (type(Path()),), {})])
def test_identifier_and_directory(core, path, identifier, directory, flavour):
    p = core.ProductCore(flavour(path), {})
    assert p._product_identifier() == identifier
    assert type(p._product_identifier()) is str
    parent = p.product_dir
    assert (
        parent == Path(directory)
        and str(parent) == directory
        and hash(parent) == hash(Path(directory))
    )
    assert type(parent) is type(p.usd_path) and (parent / "f.usda").parent == parent
    assert p.metadata("go")["product_id"] == identifier


@pytest.mark.parametrize(
    "path,record,expected",
    [
        ("/w/products/sedan/base/sedan_v2.usda", {}, "sedan_v2"),
        ("/p/car.v2.usda", {}, "car.v2"),
        ("/p/x.usda", {"vehicle_name": "Velmor Sedan"}, "Velmor Sedan"),
        ("/p/x.usda", {"vehicle_name": ""}, ""),
        ("/p/x.usda", {"vehicle_name": None}, None),
        ("/p/x.usda", {"vehicle_name": 42}, "int"),
        ("/p/x.usda", {"vehicle_name": b"x"}, "bytes"),
    ],
)
def test_name(core, path, record, expected):
    p = core.ProductCore(Path(path), record)
    if expected in ("int", "bytes"):
        for read in (lambda: p.name, lambda: repr(p)):
            with pytest.raises(TypeError, match=rf"^Expected str, got {expected}$"):
                read()
        return
    assert p.name == expected
    if "vehicle_name" in record:
        assert p.name is record["vehicle_name"]


def test_paths_as_stored_and_plain_strings(core):
    path, marker = Path("/w/products/sedan/sedan.usda"), object()
    assert core.ProductCore(path, {}).usd_path is path
    assert core.ProductCore(marker, {}).usd_path is marker
    p = core.ProductCore("/w/products/sedan/sedan.usda", {"vehicle_name": "Sedan"})
    assert p.usd_path == "/w/products/sedan/sedan.usda"
    for read in (
        lambda: p.name,
        lambda: p.product_dir,
        p._product_identifier,
        lambda: p.metadata("x"),
        lambda: repr(p),
    ):
        with pytest.raises(AttributeError):  # the stem is taken even when a name is stored
            read()


def test_metadata_banner(core):
    p = core.ProductCore(Path("/w/products/sedan/base/sedan_v2.usda"), {})
    banner = p.metadata("simulate")
    assert list(banner.items()) == [
        ("product", "sedan_v2"),
        ("product_id", "sedan:base"),
        ("action", "simulate"),
    ]
    assert p.metadata(action="") == {
        "product": "sedan_v2",
        "product_id": "sedan:base",
        "action": "",
    }
    assert p.metadata("x") is not p.metadata("x")
    action = "".join(["a", "b"])
    assert p.metadata(action)["action"] is action


def test_metadata_goes_through_the_instance(core):
    calls = []

    class Product(core.ProductCore):
        @property
        def name(self):
            calls.append("name")
            return "Custom"

        def _product_identifier(self):
            calls.append("id")
            return "custom:id"

    banner = Product(Path("/p/x.usda"), {}).metadata("a")
    assert banner == {"product": "Custom", "product_id": "custom:id", "action": "a"}
    assert calls == ["name", "id"]


def test_metadata_lets_errors_through(core):
    class Product(core.ProductCore):
        def _product_identifier(self):
            raise LookupError("boom")

    with pytest.raises(LookupError, match="boom"):
        Product(Path("/p/x.usda"), {}).metadata("a")
    with pytest.raises(TypeError, match="Argument 'action'"):
        Product(Path("/p/x.usda"), {}).metadata(None)


@pytest.mark.parametrize(
    "record,text",
    [
        ({"vehicle_name": "Sedan", "target_cd": 0.28}, "Velmor(Sedan, cd_target=0.28)"),
        ({"vehicle_name": "Sedan"}, "Velmor(Sedan, cd_target=None)"),
        ({"vehicle_name": None, "target_cd": 0.3}, "Velmor(None, cd_target=0.3)"),
        ({}, "Velmor(x, cd_target=None)"),
        ({"target_cd": 0.1 + 0.2}, "Velmor(x, cd_target=0.30000000000000004)"),
        ({"target_cd": "0.25"}, "Velmor(x, cd_target=0.25)"),
        ({"target_cd": 1}, "Velmor(x, cd_target=1)"),
    ],
)
def test_printed_form(core, record, text):
    p = core.ProductCore(Path("/p/x.usda"), record)
    assert repr(p) == str(p) == text


def test_printed_form_reads_targets_through_the_instance(core):
    class Product(core.ProductCore):
        @property
        def targets(self):
            return {"cd": "from subclass"}

    assert repr(Product(Path("/p/x.usda"), {})) == "Velmor(x, cd_target=from subclass)"

    class NoDrag(core.ProductCore):
        targets = {"cl": 0.1}

    with pytest.raises(KeyError):
        repr(NoDrag(Path("/p/x.usda"), {}))


def test_sample_product_identity(core, workspace):
    p = core.ProductCore.load("sedan:sport")
    assert p.name == "Velmor Sedan Sport"
    assert p.product_dir == workspace.resolve() / "products" / "sedan" / "sport"
    assert p.metadata("show") == {
        "product": "Velmor Sedan Sport",
        "product_id": "sedan:sport",
        "action": "show",
    }
    assert repr(p).startswith("Velmor(Velmor Sedan Sport, cd_target=")
