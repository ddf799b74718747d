"""ProductCore construction and ProductCore.load: how a name or a file path
becomes an instance, with the finder, the geometry resolver and the reader
replaced by recorders where the call protocol is the point."""

import os
from pathlib import Path

import pytest

from velmor_platform.core import api, geometry_cache, usd_product


@pytest.fixture
def hosts(core, monkeypatch, tmp_path):
    """Record the calls load makes to the finder, geometry resolver and reader."""
    calls = []
    found = tmp_path / "products" / "found" / "found.usda"
    record = {"vehicle_name": "Found"}

    def find(name):
        calls.append(("find", name))
        return found

    def resolve(directory):
        calls.append(("resolve", directory))
        return "ignored"

    def read(path):
        calls.append(("read", path))
        return record

    monkeypatch.setattr(api, "_find_product_usd", find)
    monkeypatch.setattr(geometry_cache, "resolve_product_geometry", resolve)
    monkeypatch.setattr(core, "load_product", read)
    return calls, found, record


def test_init_stores_both_values_unchanged(core):
    marker, record = object(), {"a": [1]}
    p = core.ProductCore(marker, record)
    assert p._usd_path is marker and p._vehicle is record
    assert vars(p) == {"_usd_path": marker, "_vehicle": record}
    record["vehicle_name"] = "later"
    assert p._vehicle["vehicle_name"] == "later"
    p2 = core.ProductCore(vehicle=record, usd_path="plain string")
    assert p2._usd_path == "plain string"


def test_init_refusal_sets_nothing(core):
    p = core.ProductCore.__new__(core.ProductCore)
    with pytest.raises(TypeError):
        p.__init__("x", [("a", 1)])
    assert vars(p) == {}


@pytest.mark.parametrize("relative", [False, True])
@pytest.mark.parametrize("suffix", [".usda", ".usdc"])
def test_load_existing_usd_file_skips_the_finder(
    core, hosts, tmp_path, monkeypatch, suffix, relative
):
    calls, _, record = hosts
    target = tmp_path / "real" / f"car{suffix}"
    target.parent.mkdir()
    target.write_text("")
    link = tmp_path / f"link{suffix}"
    link.symlink_to(target)
    monkeypatch.chdir(tmp_path)
    given = f"link{suffix}" if relative else str(link)
    p = core.ProductCore.load(given)
    assert p._usd_path == target.resolve() and p._usd_path.is_absolute()
    assert isinstance(p._usd_path, Path) and p._vehicle is record
    assert calls == [("resolve", target.resolve().parent), ("read", str(target.resolve()))]


@pytest.mark.parametrize(
    "name",
    [
        "sedan",
        "sedan:base",
        "",
        "car.USDA",
        "car.Usdc",
        "car.usd",
        "car.usdz",
        "missing.usda",
        "dir/missing.usdc",
        "car.usda.bak",
    ],
)
def test_load_passes_other_strings_to_the_finder_unchanged(
    core, hosts, tmp_path, monkeypatch, name
):
    calls, found, record = hosts
    monkeypatch.chdir(tmp_path)
    for existing in ("car.USDA", "car.Usdc", "car.usd", "car.usdz", "car.usda.bak"):
        (tmp_path / existing).write_text("")
    p = core.ProductCore.load(name)
    assert calls == [("find", name), ("resolve", found.parent), ("read", str(found))]
    assert calls[0][1] is name
    assert type(calls[2][1]) is str
    assert p._usd_path is found and p._vehicle is record


def test_load_builds_the_class_it_is_called_on(core, hosts):
    class Product(core.ProductCore):
        built = []

        def __init__(self, usd_path, vehicle):
            self.built.append((usd_path, vehicle))
            super().__init__(usd_path, vehicle)

    _, found, record = hosts
    p = Product.load("x")
    assert type(p) is Product and Product.built == [(found, record)]


def test_load_reader_result_must_be_a_plain_dict(core, hosts, monkeypatch):
    class Record(dict):
        pass

    monkeypatch.setattr(core, "load_product", lambda path: Record())
    with pytest.raises(
        TypeError, match=r"^Argument 'vehicle' has incorrect type \(expected dict, got Record\)"
    ):
        core.ProductCore.load("x")


def test_load_lets_finder_and_resolver_errors_through(core, hosts, monkeypatch):
    calls = hosts[0]
    error = FileNotFoundError("no product named 'x'")

    def find(name):
        raise error

    monkeypatch.setattr(api, "_find_product_usd", find)
    with pytest.raises(FileNotFoundError) as info:
        core.ProductCore.load("x")
    assert info.value is error and calls == []

    monkeypatch.setattr(api, "_find_product_usd", lambda name: Path("/nowhere/p/p.usda"))
    monkeypatch.setattr(
        geometry_cache,
        "resolve_product_geometry",
        lambda d: (_ for _ in ()).throw(ValueError("bad uri")),
    )
    with pytest.raises(ValueError, match="bad uri"):
        core.ProductCore.load("x")
    assert calls == []


@pytest.mark.parametrize(
    "module,name", [(api, "_find_product_usd"), (geometry_cache, "resolve_product_geometry")]
)
def test_load_needs_both_helpers_even_for_a_file(core, hosts, tmp_path, monkeypatch, module, name):
    existing = tmp_path / "p.usda"
    existing.write_text("")
    monkeypatch.delattr(module, name)
    with pytest.raises(ImportError, match=name):
        core.ProductCore.load(str(existing))
    assert hosts[0] == []


def test_load_with_a_non_str_touches_nothing(core, hosts):
    for value in (Path("x.usda"), None, b"x", 1):
        with pytest.raises(TypeError, match="Argument 'name_or_path'"):
            core.ProductCore.load(value)
    assert hosts[0] == []


def test_loads_are_independent(core, hosts):
    a, b = core.ProductCore.load("x"), core.ProductCore.load(name_or_path="x")
    assert a is not b
    assert [c[0] for c in hosts[0]] == ["find", "resolve", "read"] * 2


# ---- against the sample workspace ------------------------------------------------------


def test_sample_products_by_name_and_by_path(core, workspace, sample_products):
    for ident in sample_products:
        by_name = core.ProductCore.load(ident)
        by_path = core.ProductCore.load(str(by_name.usd_path))
        relative = core.ProductCore.load(os.path.relpath(by_name.usd_path))
        assert by_name._vehicle == by_path._vehicle == relative._vehicle
        assert by_path.usd_path == by_name.usd_path.resolve() == relative.usd_path
        assert by_name._product_identifier() == ident
        assert by_name._vehicle == usd_product.load_product(str(by_name.usd_path))
        text = by_name.usd_path.read_text()
        assert "velmor-geo:///" not in text  # geometry resolved before reading


def test_load_unknown_product_names_it(core, workspace):
    with pytest.raises(FileNotFoundError, match="no_such_car"):
        core.ProductCore.load("no_such_car")
